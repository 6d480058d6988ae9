// The fault soak's plan and judge: which uploads to run (file sizes, the unit's fault
// and its parameters), what each must end with (exit status, the exact messages,
// the image the unit saved, a time bound from the engine's own timers), and the
// summary table. Pure logic, so it is tested without starting a program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarnik::soak {

enum class Fault { kNone, kSlowReplies, kFlood, kWrongChecksum, kNeverLoader, kHangUp };

inline constexpr Fault kAllFaults[] = {Fault::kNone,          Fault::kSlowReplies, Fault::kFlood,
                                       Fault::kWrongChecksum, Fault::kNeverLoader, Fault::kHangUp};
inline constexpr uint32_t kMaxFileSize = 300 * 1024;
// Every soak starts with these sizes: empty, and either side of one whole block.
inline constexpr uint32_t kEdgeSizes[] = {0, 1999, 2000, 2001};

const char* FaultName(Fault fault);
std::optional<Fault> FaultByName(std::string_view name);
// "none,hang-up" -> the kinds in canonical order, each once; nullopt on an unknown name.
std::optional<std::vector<Fault>> ParseFaultList(std::string_view list);

struct RunPlan {
  int index = 0;  // 1-based
  uint32_t size = 0;
  Fault fault = Fault::kNone;
  uint32_t dataSeed = 0;         // the file's bytes
  uint32_t replyDelayMs = 0;     // slow replies
  std::string floodText;         // the unit's unsolicited text, raw bytes
  uint32_t hangUpAfterData = 0;  // hang-up: data bytes the unit takes before it goes dead
};

// The runs of one soak. The first four carry the edge sizes (fault none when it is
// allowed), the next ones each remaining allowed fault once, the rest are drawn
// from seed; the same (runs, seed, faults) always gives the same plans.
std::vector<RunPlan> MakePlans(int runs, uint32_t seed, const std::vector<Fault>& faults);

std::string FileBytes(const RunPlan& plan);
uint16_t ByteSum16(std::string_view data);

// The script every run uses: loader mode by the loader-mode command itself, a
// pause of one second after the data, then the file.
std::string ScriptText(const RunPlan& plan, const std::string& filePath);
// The line the engine announces the file with, as the unit receives it.
std::string LoadLine(const RunPlan& plan, std::string_view data);
// What the unit has received when the data starts: the probe's carriage return,
// the loader-mode command, the prompt check before the load, and the load line.
uint32_t BytesBeforeData(const RunPlan& plan, std::string_view data);

// zarnik-unit-sim's arguments for the plan's fault (the path and image options
// come from the caller).
std::vector<std::string> UnitArguments(const RunPlan& plan, std::string_view data);
// \r \n \\ and \xHH, the escapes zarnik-unit-sim reads in its unsolicited text.
std::string EscapeForUnit(std::string_view raw);

enum class ImageCheck { kIdentical, kNone };

struct Expected {
  int exitStatus = 0;
  std::vector<std::string> stderrLines;  // all of zarnik-cli --quiet's stderr, exactly
  // When set, one more line comes first, which need only begin with this.
  std::string firstLineBegins;
  ImageCheck image = ImageCheck::kIdentical;
  uint64_t boundMs = 0;  // wall time from zarnik-cli's start to its exit
};

Expected ExpectedFor(const RunPlan& plan, const std::string& device);

// How one run ended, as observed.
struct Observed {
  int exitStatus = -1;  // -1: still running at the hard time-out, then killed
  std::string stderrText;
  uint64_t wallMs = 0;
  bool imageSaved = false;      // image-1.bin exists
  bool imageIdentical = false;  // ... and equals the file
  bool extraImage = false;      // image-2.bin exists
  int unitExitStatus = 0;       // zarnik-unit-sim's, once stopped
  int cliPeakThreads = 0;
  int cliPeakFds = 0;
};

// Ceilings on what one zarnik-cli run holds at once: the main thread, the stop
// watcher and the port's three threads; stdio, the device and a few wake-up
// descriptors. Far below what a leak per block of a 300 KB file would reach.
inline constexpr int kMaxCliThreads = 8;
inline constexpr int kMaxCliFds = 16;

// Every way the run differs from what was expected; empty when it passed.
std::vector<std::string> Judge(const Expected& expected, const Observed& observed);

struct RunResult {
  RunPlan plan;
  Observed observed;
  std::vector<std::string> problems;
};

// One row per fault kind that ran, and a total: runs, passed, failed, mean and max
// wall time, the largest bound, and the peaks of zarnik-cli's threads and
// descriptors.
std::string SummaryTable(const std::vector<RunResult>& results);

}  // namespace zarnik::soak
