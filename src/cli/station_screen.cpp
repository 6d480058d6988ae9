#include "cli/station_screen.h"

#include <algorithm>
#include <charconv>

namespace zarnik {

namespace {

// "[##..] 3/10 blocks  300/1000 bytes  11.5 kB/s  0:31 left" ->
// "30%  11.5 kB/s  0:31 left"; the bar as it is when it has another shape.
std::string ProgressOfBar(const std::string& bar) {
  const std::string bytesWord = " bytes  ";
  const size_t bytes = bar.find(bytesWord);
  if (bytes == std::string::npos) return bar;
  const size_t start = bar.rfind(' ', bytes - 1) + 1;
  const size_t slash = bar.find('/', start);
  uint64_t sent = 0, size = 0;
  if (slash == std::string::npos || slash > bytes ||
      std::from_chars(bar.data() + start, bar.data() + slash, sent).ptr != bar.data() + slash ||
      std::from_chars(bar.data() + slash + 1, bar.data() + bytes, size).ptr != bar.data() + bytes)
    return bar;
  const uint64_t percent = size == 0 ? 100 : std::min<uint64_t>(100, sent * 100 / size);
  return std::to_string(percent) + "%  " + bar.substr(bytes + bytesWord.size());
}

}  // namespace

std::string StationCount(int passed, int failed, const std::string& since) {
  return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed since " + since;
}

std::string StationStateText(const StationPortState& port, bool colour) {
  using Kind = StationPortState::Kind;
  auto painted = [&](const char* sgr, const std::string& word) {
    return colour ? std::string("\x1b[") + sgr + "m" + word + "\x1b[0m" : word;
  };
  switch (port.kind) {
    case Kind::kWaiting:
      return "waiting for a unit";
    case Kind::kLoading: {
      std::string text = "loading";
      if (!port.file.empty()) text += " " + port.file;
      if (!port.bar.empty()) text += "  " + ProgressOfBar(port.bar);
      return text;
    }
    case Kind::kPass:
      return painted("1;32", "PASS") + "  " + (port.text.empty() ? "" : port.text + "  ") +
             "disconnect the unit";
    case Kind::kFail:
      return painted("1;31", "FAIL") + (port.text.empty() ? "" : "  " + port.text);
    case Kind::kGone:
      return "gone";
  }
  return "";
}

std::string StationScreen(const std::vector<StationPortState>& ports, const std::string& count,
                          bool colour) {
  size_t width = 0;
  for (const StationPortState& p : ports) width = std::max(width, p.name.size());
  std::string screen = count + "\n";
  for (const StationPortState& p : ports)
    screen += p.name + std::string(width - p.name.size() + 2, ' ') + StationStateText(p, colour) + "\n";
  return screen;
}

}  // namespace zarnik
