#include "soak_plan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

namespace zarnik::soak {

namespace {

// The engine's timers on the paths the soak takes.
constexpr uint64_t kTickMs = 55;
constexpr uint64_t kShortPromptWaitMs = 65 * kTickMs;  // probes, _TC, before and after data
constexpr uint64_t kLastPromptWaitMs = 170 * kTickMs;  // the last try after data
constexpr uint64_t kBeforeLoaderPromptMs = 100;        // _TC's first sleep
constexpr uint64_t kAfterLoaderCommandMs = 1000;       // _TC, after the loader-mode command
constexpr uint64_t kBetweenLoaderTriesMs = 2500;       // _TC's two further tries
constexpr uint64_t kAfterLoadLineMs = 500 + 50;        // load line, progress window, data
constexpr uint64_t kLoadPauseMs = 1000;                // the script's _LP 1
constexpr uint64_t kBetweenPromptTriesMs = 500;        // after data, between the three tries
// Starting the processes and the machine being busy: a fixed part, less than one
// prompt wait, so a wait that ran out where it should have been answered does not
// hide in it; and a tenth of the timers, which a loaded machine stretches.
constexpr uint64_t kSlackMs = 3000;
constexpr uint64_t kTimerStretchDivisor = 10;
// The slowest a pty is allowed to move the data (a busy 2-core machine does ~250 KB/s).
constexpr uint64_t kSlowestBytesPerSecond = 50'000;

constexpr uint32_t kMinReplyDelayMs = 100;
constexpr uint32_t kMaxReplyDelayMs = 2000;  // well inside one prompt wait
constexpr size_t kMaxFloodText = 60;

constexpr const char* kUnsuccessful = "Unsuccessful.  Upload terminated by user.";

struct FaultInfo {
  Fault fault;
  const char* name;
};
constexpr FaultInfo kFaultNames[] = {
    {Fault::kNone, "none"},
    {Fault::kSlowReplies, "slow-replies"},
    {Fault::kFlood, "flood"},
    {Fault::kWrongChecksum, "wrong-checksum"},
    {Fault::kNeverLoader, "never-loader"},
    {Fault::kHangUp, "hang-up"},
};

uint64_t TransferAllowanceMs(uint64_t bytes) {
  return bytes * 1000 / kSlowestBytesPerSecond;
}

bool Allowed(const std::vector<Fault>& faults, Fault f) {
  return std::find(faults.begin(), faults.end(), f) != faults.end();
}

// Bytes the unit could mistake for a prompt or the line for flow control stay out
// of the flood; anything else, binary junk included, may come.
std::string FloodText(std::mt19937& gen) {
  std::uniform_int_distribution<size_t> length(1, kMaxFloodText);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text(length(gen), '\0');
  for (char& c : text) {
    int b;
    do b = byte(gen);
    while (b == '#' || b == '>' || b == 0x11 || b == 0x13);
    c = static_cast<char>(b);
  }
  return text;
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::string Quoted(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += (out.empty() ? "\"" : " | \"") + line + "\"";
  return out.empty() ? "(nothing)" : out;
}

std::string Seconds(uint64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(ms) / 1000.0);
  return buf;
}

}  // namespace

const char* FaultName(Fault fault) {
  for (const FaultInfo& f : kFaultNames)
    if (f.fault == fault) return f.name;
  return "?";
}

std::optional<Fault> FaultByName(std::string_view name) {
  for (const FaultInfo& f : kFaultNames)
    if (name == f.name) return f.fault;
  return std::nullopt;
}

std::optional<std::vector<Fault>> ParseFaultList(std::string_view list) {
  std::vector<Fault> chosen;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    auto fault = FaultByName(list.substr(start, comma - start));
    if (!fault) return std::nullopt;
    chosen.push_back(*fault);
    start = comma + 1;
  }
  std::vector<Fault> ordered;
  for (Fault f : kAllFaults)
    if (Allowed(chosen, f)) ordered.push_back(f);
  return ordered;
}

std::vector<RunPlan> MakePlans(int runs, uint32_t seed, const std::vector<Fault>& faults) {
  std::vector<RunPlan> plans;
  if (faults.empty()) return plans;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<uint32_t> anySize(0, kMaxFileSize);
  std::uniform_int_distribution<size_t> anyFault(0, faults.size() - 1);
  std::uniform_int_distribution<uint32_t> delay(kMinReplyDelayMs, kMaxReplyDelayMs);

  // The edge sizes with fault none (else the allowed kinds in turn), then each kind
  // not yet run once, then chance.
  const bool noneAllowed = Allowed(faults, Fault::kNone);
  constexpr int kEdges = static_cast<int>(std::size(kEdgeSizes));
  auto edgeFault = [&](int i) {
    return noneAllowed ? Fault::kNone : faults[static_cast<size_t>(i) % faults.size()];
  };
  std::vector<Fault> firsts;
  for (Fault f : faults) {
    bool onEdge = false;
    for (int i = 0; i < kEdges; ++i) onEdge = onEdge || edgeFault(i) == f;
    if (!onEdge) firsts.push_back(f);
  }
  for (int i = 0; i < runs; ++i) {
    RunPlan p;
    p.index = i + 1;
    if (i < kEdges) {
      p.size = kEdgeSizes[i];
      p.fault = edgeFault(i);
    } else if (static_cast<size_t>(i - kEdges) < firsts.size()) {
      p.size = anySize(gen);
      p.fault = firsts[static_cast<size_t>(i - kEdges)];
    } else {
      p.size = anySize(gen);
      p.fault = faults[anyFault(gen)];
    }
    // Drawn for every run, so one run's fault does not shift the next run's bytes.
    p.dataSeed = gen();
    const uint32_t replyDelay = delay(gen);
    std::string flood = FloodText(gen);
    const uint32_t cutDraw = gen();
    switch (p.fault) {
      case Fault::kSlowReplies:
        p.replyDelayMs = replyDelay;
        break;
      case Fault::kFlood:
        p.floodText = std::move(flood);
        break;
      case Fault::kHangUp:
        // Inside the data: at least one byte has gone and at least one is to come.
        p.size = std::max<uint32_t>(p.size, 2);
        p.hangUpAfterData = 1 + cutDraw % (p.size - 1);
        break;
      default:
        break;
    }
    plans.push_back(std::move(p));
  }
  return plans;
}

std::string FileBytes(const RunPlan& plan) {
  std::mt19937 gen(plan.dataSeed);
  std::string data(plan.size, '\0');
  for (char& c : data) c = static_cast<char>(gen() & 0xFF);
  return data;
}

uint16_t ByteSum16(std::string_view data) {
  uint32_t sum = 0;
  for (char c : data) sum += static_cast<uint8_t>(c);
  return static_cast<uint16_t>(sum & 0xFFFF);
}

std::string ScriptText(const RunPlan& plan, const std::string& filePath) {
  return "; zarnik-soak run " + std::to_string(plan.index) + ": " + std::to_string(plan.size) +
         " bytes, fault " + FaultName(plan.fault) + "\n_TC \"LOADR^M\"\n_LP 1\n_LF " + filePath +
         "\n_LA 8000\n_LV V" + std::to_string(plan.index) + "\n_LD\n";
}

std::string LoadLine(const RunPlan& plan, std::string_view data) {
  char line[96];
  std::snprintf(line, sizeof line, "LF 8000 %u %x V%d\r", plan.size,
                static_cast<unsigned>(ByteSum16(data)), plan.index);
  return line;
}

uint32_t BytesBeforeData(const RunPlan& plan, std::string_view data) {
  const uint32_t probe = 1;          // "\r"
  const uint32_t loaderCommand = 6;  // "LOADR\r"
  const uint32_t promptCheck = 1;    // "\r"
  return probe + loaderCommand + promptCheck + static_cast<uint32_t>(LoadLine(plan, data).size());
}

std::string EscapeForUnit(std::string_view raw) {
  std::string out;
  for (char c : raw) {
    const auto b = static_cast<uint8_t>(c);
    if (b >= 0x20 && b < 0x7F && c != '\\') {
      out.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

std::vector<std::string> UnitArguments(const RunPlan& plan, std::string_view data) {
  switch (plan.fault) {
    case Fault::kNone:
      return {};
    case Fault::kSlowReplies:
      return {"--reply-delay", std::to_string(plan.replyDelayMs)};
    case Fault::kFlood:
      return {"--unsolicited", EscapeForUnit(plan.floodText), "--every", "1"};
    case Fault::kWrongChecksum:
      return {"--wrong-checksum"};
    case Fault::kNeverLoader:
      return {"--never-loader"};
    case Fault::kHangUp:
      return {"--hang-up-after",
              std::to_string(BytesBeforeData(plan, data) + plan.hangUpAfterData)};
  }
  return {};
}

Expected ExpectedFor(const RunPlan& plan, const std::string& device) {
  Expected e;
  uint64_t transfer = TransferAllowanceMs(plan.size);
  uint64_t timers = 0;
  const uint64_t throughLoadLine = kBeforeLoaderPromptMs + kAfterLoadLineMs;
  switch (plan.fault) {
    case Fault::kNone:
    case Fault::kFlood:
    case Fault::kSlowReplies:
      // Every prompt wait answered at the first try: the probe, _TC, the check
      // before the load, the check after it; the load line's answer may add one more.
      timers = throughLoadLine + kLoadPauseMs;
      if (plan.fault == Fault::kSlowReplies) timers += 5ull * plan.replyDelayMs;
      break;
    case Fault::kWrongChecksum:
      // All three tries after the data run out.
      e.exitStatus = 1;
      e.stderrLines = {
          "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script. "
          "(the unit answered \"CHECKSUM ERROR\")",
          kUnsuccessful};
      timers = throughLoadLine + kLoadPauseMs + 2 * kShortPromptWaitMs + 2 * kBetweenPromptTriesMs +
               kLastPromptWaitMs;
      break;
    case Fault::kNeverLoader:
      // The text, the loader-mode command and two lone carriage returns each wait in
      // vain for the loader prompt; the monitor prompt then answers at once.
      e.exitStatus = 1;
      e.stderrLines = {"Error! Unit not in Loader Mode! Exiting script", kUnsuccessful};
      e.image = ImageCheck::kNone;
      timers = kBeforeLoaderPromptMs + kShortPromptWaitMs + kAfterLoaderCommandMs +
               kShortPromptWaitMs + 2 * (kBetweenLoaderTriesMs + kShortPromptWaitMs);
      transfer = 0;
      break;
    case Fault::kHangUp:
      // Ends at once when the line goes, naming the device: no pause, no prompt wait.
      e.exitStatus = 1;
      e.stderrLines = {"Error! Serial port failure: " + device + " was disconnected.",
                       kUnsuccessful};
      e.image = ImageCheck::kNone;
      timers = throughLoadLine;
      transfer = TransferAllowanceMs(plan.hangUpAfterData);
      break;
  }
  // The verdict ends every run: the first error shown when it failed.
  e.stderrLines.push_back(e.exitStatus == 0 ? "zarnik-cli: completed"
                                            : "zarnik-cli: FAILED: " + e.stderrLines.front());
  e.boundMs = timers + timers / kTimerStretchDivisor + transfer + kSlackMs;
  return e;
}

std::vector<std::string> Judge(const Expected& expected, const Observed& observed) {
  std::vector<std::string> problems;
  if (observed.exitStatus < 0) {
    problems.push_back("hung: still running after " + Seconds(observed.wallMs) + " s, killed");
  } else if (observed.exitStatus != expected.exitStatus) {
    problems.push_back("exit status " + std::to_string(observed.exitStatus) + ", expected " +
                       std::to_string(expected.exitStatus));
  }
  std::vector<std::string> got = Lines(observed.stderrText);
  std::vector<std::string> want = expected.stderrLines;
  bool same = true;
  if (!expected.firstLineBegins.empty()) {
    same = !got.empty() && got[0].starts_with(expected.firstLineBegins);
    want.insert(want.begin(), expected.firstLineBegins + "...");
    if (same) want[0] = got[0];
  }
  if (!same || got != want)
    problems.push_back("messages " + Quoted(got) + ", expected " + Quoted(want));
  if (expected.image == ImageCheck::kIdentical && !observed.imageSaved)
    problems.push_back("the unit saved no image");
  else if (expected.image == ImageCheck::kIdentical && !observed.imageIdentical)
    problems.push_back("the saved image differs from the file");
  else if (expected.image == ImageCheck::kNone && observed.imageSaved)
    problems.push_back("the unit saved an image it should never have completed");
  if (observed.extraImage) problems.push_back("the unit saved a second image");
  if (observed.exitStatus >= 0 && observed.wallMs > expected.boundMs)
    problems.push_back("took " + Seconds(observed.wallMs) + " s, bound " +
                       Seconds(expected.boundMs) + " s");
  if (observed.unitExitStatus != 0)
    problems.push_back("zarnik-unit-sim ended with status " +
                       std::to_string(observed.unitExitStatus));
  if (observed.cliPeakThreads > kMaxCliThreads)
    problems.push_back("zarnik-cli held " + std::to_string(observed.cliPeakThreads) + " threads");
  if (observed.cliPeakFds > kMaxCliFds)
    problems.push_back("zarnik-cli held " + std::to_string(observed.cliPeakFds) + " descriptors");
  return problems;
}

std::string SummaryTable(const std::vector<RunResult>& results) {
  struct Row {
    int runs = 0, passed = 0;
    uint64_t totalMs = 0, maxMs = 0, maxBoundMs = 0;
    int minThreads = 0, maxThreads = 0, minFds = 0, maxFds = 0;
    void Add(const RunResult& r, uint64_t boundMs) {
      const Observed& o = r.observed;
      if (runs == 0 || o.cliPeakThreads < minThreads) minThreads = o.cliPeakThreads;
      if (runs == 0 || o.cliPeakFds < minFds) minFds = o.cliPeakFds;
      maxThreads = std::max(maxThreads, o.cliPeakThreads);
      maxFds = std::max(maxFds, o.cliPeakFds);
      ++runs;
      passed += r.problems.empty() ? 1 : 0;
      totalMs += o.wallMs;
      maxMs = std::max(maxMs, o.wallMs);
      maxBoundMs = std::max(maxBoundMs, boundMs);
    }
  };
  std::map<Fault, Row> rows;
  Row all;
  for (const RunResult& r : results) {
    // The bound does not depend on the device's name.
    const uint64_t bound = ExpectedFor(r.plan, "").boundMs;
    rows[r.plan.fault].Add(r, bound);
    all.Add(r, bound);
  }
  std::string out;
  char line[160];
  auto range = [](int low, int high) { return std::to_string(low) + "-" + std::to_string(high); };
  auto put = [&](const char* name, const Row& row) {
    const uint64_t mean = row.runs ? row.totalMs / static_cast<uint64_t>(row.runs) : 0;
    std::snprintf(line, sizeof line, "%-15s %6d %7d %7d %8s %8s %8s %8s %6s\n", name, row.runs,
                  row.passed, row.runs - row.passed, Seconds(mean).c_str(),
                  Seconds(row.maxMs).c_str(), Seconds(row.maxBoundMs).c_str(),
                  range(row.minThreads, row.maxThreads).c_str(),
                  range(row.minFds, row.maxFds).c_str());
    out += line;
  };
  std::snprintf(line, sizeof line, "%-15s %6s %7s %7s %8s %8s %8s %8s %6s\n", "fault", "runs",
                "passed", "failed", "mean s", "max s", "bound s", "threads", "fds");
  out += line;
  for (Fault f : kAllFaults)
    if (rows.count(f)) put(FaultName(f), rows[f]);
  put("all", all);
  out += "(threads, fds: the fewest and the most zarnik-cli held at once in one run)\n";
  return out;
}

}  // namespace zarnik::soak
