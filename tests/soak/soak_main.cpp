// zarnik-soak: many uploads through the real zarnik-cli into zarnik-unit-sim on a
// pty, each with a random file size and a random fault of the unit, each judged on
// its exit status, its exact messages, the image the unit saved and its time; and
// across the runs, nothing left behind (descriptors, threads, child processes).
//
//   zarnik-soak [--runs N] [--seed S] [--jobs J] [--faults LIST] [--keep] [--verbose]
//
// Exit status 0 when every run passed and nothing leaked, 1 otherwise, 2 bad usage.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "soak_plan.h"

namespace fs = std::filesystem;

namespace zarnik::soak {
namespace {

using zarnik::testing::Process;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;
using Clock = std::chrono::steady_clock;

// Beyond its bound a run gets this long before it counts as hung and is killed.
constexpr int kHangGraceMs = 30000;
constexpr int kUnitStartMs = 10000;
constexpr int kUnitStopMs = 5000;
constexpr int kSampleMs = 20;

constexpr const char* kUsage =
    "Usage: zarnik-soak [OPTION]...\n"
    "Uploads files of random size (0 to 300 KB; the first runs 0, 1999, 2000 and 2001 bytes)\n"
    "through zarnik-cli into zarnik-unit-sim, the unit showing a random fault, and checks\n"
    "each run's exit status, exact messages, saved image and time, and that nothing leaks.\n\n"
    "  --runs N         number of uploads (default 100)\n"
    "  --seed S         seed of sizes, faults and data (default 1)\n"
    "  --jobs J         runs at once (default 1)\n"
    "  --faults LIST    comma-separated kinds to draw from (default all): none, slow-replies,\n"
    "                   flood, wrong-checksum, never-loader, hang-up\n"
    "  --cli PATH       zarnik-cli to run (default the one built alongside)\n"
    "  --unit-sim PATH  zarnik-unit-sim to run (default the one built alongside)\n"
    "  --work DIR       scratch folder (default a new one under the temporary folder)\n"
    "  --keep           keep every run's folder, not only the failed ones'\n"
    "  --verbose        one line per run\n";

struct Options {
  int runs = 100;
  uint32_t seed = 1;
  int jobs = 1;
  std::vector<Fault> faults{std::begin(kAllFaults), std::end(kAllFaults)};
  std::string cli = ZARNIK_CLI_PATH;
  std::string unitSim = ZARNIK_UNIT_SIM_PATH;
  fs::path work;
  bool keep = false;
  bool verbose = false;
};

template <typename T>
bool ParseNumber(const std::string& text, T& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Returns 0 to go on, or the exit status to end with.
int ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::cout << kUsage;
      return -1;
    }
    if (arg == "--keep" || arg == "--verbose") {
      (arg == "--keep" ? o.keep : o.verbose) = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "zarnik-soak: " << arg << (arg.rfind("--", 0) == 0 ? " needs a value" : "?")
                << "\n";
      return 2;
    }
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--runs") {
      ok = ParseNumber(value, o.runs) && o.runs > 0;
    } else if (arg == "--seed") {
      ok = ParseNumber(value, o.seed);
    } else if (arg == "--jobs") {
      ok = ParseNumber(value, o.jobs) && o.jobs > 0 && o.jobs <= 16;
    } else if (arg == "--faults") {
      auto faults = ParseFaultList(value);
      ok = faults.has_value();
      if (ok) o.faults = *faults;
    } else if (arg == "--cli") {
      o.cli = value;
    } else if (arg == "--unit-sim") {
      o.unitSim = value;
    } else if (arg == "--work") {
      o.work = value;
    } else {
      std::cerr << "zarnik-soak: unknown option " << arg << "\nTry 'zarnik-soak --help'.\n";
      return 2;
    }
    if (!ok) {
      std::cerr << "zarnik-soak: bad value for " << arg << ": " << value << "\n";
      return 2;
    }
  }
  return 0;
}

// Entries of a /proc folder (a process's descriptors or threads); -1 when it is gone.
int CountEntries(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// Our own descriptors, less the one the count itself opens.
int OwnFds() {
  return CountEntries("/proc/self/fd") - 1;
}
int OwnThreads() {
  return CountEntries("/proc/self/task");
}

// Processes whose parent is us, zombies included: what a run left behind.
std::vector<pid_t> OwnChildren() {
  std::vector<pid_t> children;
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* e = readdir(proc)) {
    pid_t pid = 0;
    const std::string name = e->d_name;
    if (!ParseNumber(name, pid)) continue;
    const std::string stat = ReadFile("/proc/" + name + "/stat");
    // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == self)
      children.push_back(pid);
  }
  closedir(proc);
  return children;
}

uint64_t MsSince(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

RunResult RunOne(const RunPlan& plan, const Options& o, const fs::path& dir) {
  RunResult result{plan, {}, {}};
  Observed& seen = result.observed;
  fs::create_directories(dir / "images");
  const std::string data = FileBytes(plan);
  const fs::path file = dir / "file.bin";
  const fs::path script = dir / "load.sld";
  WriteFile(file, data);
  WriteFile(script, ScriptText(plan, file.string()));

  std::vector<std::string> unitArgs = {"--save-images", (dir / "images").string()};
  for (std::string& a : UnitArguments(plan, data)) unitArgs.push_back(std::move(a));
  Process unit(o.unitSim, unitArgs);
  const std::string device = unit.ReadLine(kUnitStartMs);
  if (device.empty()) {
    unit.Signal(SIGKILL);
    unit.Wait(kUnitStopMs);
    result.problems.push_back("zarnik-unit-sim did not start: " + unit.Stderr());
    return result;
  }
  const Expected expected = ExpectedFor(plan, device);
  const uint64_t hardMs = expected.boundMs + kHangGraceMs;

  const Clock::time_point start = Clock::now();
  // The run folder has no settings file: the defaults are in force.
  Process cli(o.cli, {"run", script.string(), "--port", device, "--quiet"}, dir.string());
  const std::string proc = "/proc/" + std::to_string(cli.Pid());
  std::error_code ec;
  const fs::path cliProgram = fs::canonical(o.cli, ec);
  for (;;) {
    // Until the exec the child is a copy of us, with our descriptors: not counted.
    if (fs::read_symlink(proc + "/exe", ec) == cliProgram) {
      seen.cliPeakThreads = std::max(seen.cliPeakThreads, CountEntries(proc + "/task"));
      seen.cliPeakFds = std::max(seen.cliPeakFds, CountEntries(proc + "/fd"));
    }
    seen.exitStatus = cli.Wait(kSampleMs);
    seen.wallMs = MsSince(start);
    if (seen.exitStatus >= 0) break;
    if (seen.wallMs > hardMs) {
      cli.Signal(SIGKILL);
      cli.Wait(kUnitStopMs);
      seen.exitStatus = -1;
      break;
    }
  }
  seen.stderrText = cli.Stderr();

  // A unit that hung up has gone by itself; the others are told to stop.
  unit.Signal(SIGTERM);
  seen.unitExitStatus = unit.Wait(kUnitStopMs);

  const fs::path image = dir / "images" / "image-1.bin";
  seen.imageSaved = fs::exists(image);
  seen.imageIdentical = seen.imageSaved && ReadFile(image) == data;
  seen.extraImage = fs::exists(dir / "images" / "image-2.bin");
  result.problems = Judge(expected, seen);
  if (!result.problems.empty()) {
    WriteFile(dir / "cli-stderr.txt", seen.stderrText);
    WriteFile(dir / "unit-stderr.txt", unit.Stderr());
  }
  return result;
}

std::string Describe(const RunPlan& plan) {
  std::string text = "run " + std::to_string(plan.index) + " (" + std::to_string(plan.size) +
                     " bytes, " + FaultName(plan.fault);
  if (plan.fault == Fault::kSlowReplies) text += " " + std::to_string(plan.replyDelayMs) + " ms";
  if (plan.fault == Fault::kFlood)
    text += " of " + std::to_string(plan.floodText.size()) + "-byte texts";
  if (plan.fault == Fault::kHangUp)
    text += " after " + std::to_string(plan.hangUpAfterData) + " data bytes";
  return text + ")";
}

int Soak(const Options& o) {
  const std::vector<RunPlan> plans = MakePlans(o.runs, o.seed, o.faults);
  fs::path work = o.work;
  if (work.empty()) work = fs::temp_directory_path() / ("zarnik-soak-" + std::to_string(getpid()));
  std::error_code ec;
  fs::create_directories(work, ec);
  if (ec) {
    std::cerr << "zarnik-soak: cannot make " << work << ": " << ec.message() << "\n";
    return 2;
  }
  std::printf("zarnik-soak: %d runs, seed %u, %d at once, in %s\n", o.runs, o.seed, o.jobs,
              work.c_str());
  std::fflush(stdout);

  const int fdsBefore = OwnFds();
  const int threadsBefore = OwnThreads();
  std::vector<RunResult> results(plans.size());
  std::atomic<size_t> next{0};
  std::atomic<int> failed{0};
  std::mutex printLock;
  size_t done = 0;  // under printLock
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < plans.size();) {
      const fs::path dir = work / ("run-" + std::to_string(plans[i].index));
      RunResult r = RunOne(plans[i], o, dir);
      // With one run at a time, each run must leave the soak as it found it.
      if (o.jobs == 1) {
        if (const int fds = OwnFds(); fds != fdsBefore)
          r.problems.push_back("zarnik-soak holds " + std::to_string(fds) + " descriptors, had " +
                               std::to_string(fdsBefore));
        if (const auto left = OwnChildren(); !left.empty())
          r.problems.push_back(std::to_string(left.size()) + " child process(es) left running");
      }
      const bool passed = r.problems.empty();
      if (passed && !o.keep) fs::remove_all(dir, ec);
      {
        std::lock_guard<std::mutex> lock(printLock);
        if (!passed || o.verbose) {
          std::printf("%s %s in %.2f s\n", Describe(r.plan).c_str(), passed ? "passed" : "FAILED",
                      r.observed.wallMs / 1000.0);
          for (const std::string& p : r.problems) std::printf("    %s\n", p.c_str());
          if (!passed) std::printf("    kept in %s\n", dir.c_str());
        }
        if (!passed) ++failed;
        if (++done % 50 == 0 && !o.verbose)
          std::printf("... %zu of %zu runs done, %d failed\n", done, plans.size(), failed.load());
        std::fflush(stdout);
      }
      results[i] = std::move(r);
    }
  };
  std::vector<std::thread> workers;
  for (int j = 0; j < o.jobs; ++j) workers.emplace_back(worker);
  for (std::thread& t : workers) t.join();

  // Across the whole soak: our own descriptors and threads back where they were,
  // no child left, not even a zombie.
  std::vector<std::string> leaks;
  const int fdsAfter = OwnFds();
  const int threadsAfter = OwnThreads();
  const std::vector<pid_t> left = OwnChildren();
  if (fdsAfter != fdsBefore)
    leaks.push_back("descriptors " + std::to_string(fdsBefore) + " -> " + std::to_string(fdsAfter));
  if (threadsAfter != threadsBefore)
    leaks.push_back("threads " + std::to_string(threadsBefore) + " -> " +
                    std::to_string(threadsAfter));
  if (!left.empty() || waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
    leaks.push_back(std::to_string(left.size()) + " child process(es) left");

  std::printf("\n%s", SummaryTable(results).c_str());
  std::printf(
      "zarnik-soak itself: descriptors %d -> %d, threads %d -> %d, child processes left %zu%s\n",
      fdsBefore, fdsAfter, threadsBefore, threadsAfter, left.size(), leaks.empty() ? "" : "  LEAK");
  if (failed == 0 && !o.keep) fs::remove_all(work, ec);
  const int passedRuns = static_cast<int>(plans.size()) - failed;
  std::printf("%d passed, %d failed\n", passedRuns, failed.load());
  return failed == 0 && leaks.empty() ? 0 : 1;
}

}  // namespace
}  // namespace zarnik::soak

int main(int argc, char** argv) {
  using namespace zarnik::soak;
  Options options;
  if (const int status = ParseArgs(argc, argv, options); status != 0)
    return status < 0 ? 0 : status;
  signal(SIGPIPE, SIG_IGN);
  return Soak(options);
}
