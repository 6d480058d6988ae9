#include "cli/unit_protocol.h"

#include <array>
#include <utility>

namespace zarnik {

namespace {

constexpr std::array<std::pair<UnitEvent::Kind, std::string_view>, 6> kWords = {{
    {UnitEvent::Kind::kFile, "file"},
    {UnitEvent::Kind::kBar, "bar"},
    {UnitEvent::Kind::kIdle, "idle"},
    {UnitEvent::Kind::kMessage, "message"},
    {UnitEvent::Kind::kError, "error"},
    {UnitEvent::Kind::kReport, "report"},
}};

}  // namespace

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string EncodeUnitEvent(const UnitEvent& event) {
  const std::string text = OneLine(event.text);
  std::string line;
  for (const auto& [kind, word] : kWords)
    if (kind == event.kind) line = word;
  if (!text.empty()) line += " " + text;
  return line + "\n";
}

std::optional<UnitEvent> DecodeUnitEvent(std::string_view line) {
  const size_t space = line.find(' ');
  const std::string_view word = line.substr(0, space);
  for (const auto& [kind, known] : kWords)
    if (word == known)
      return UnitEvent{kind, space == std::string_view::npos ? "" : std::string(line.substr(space + 1))};
  return std::nullopt;
}

}  // namespace zarnik
