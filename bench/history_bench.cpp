// The history database: what recording adds to one run (open the database as a run
// does, write the run with three files and two replies in its transaction), and
// PROCESSES processes writing RUNS runs each at once (four stations of eight ports by
// default), with the slowest write, the count of runs found afterwards and SQLite's
// integrity check.
//
//   zarnik_bench_history [PROCESSES] [RUNS]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "record/history_db.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

zarnik::UnitRecord SampleRun(int process, int run) {
  zarnik::UnitRecord r;
  r.unit = "ttyUSB" + std::to_string(process);
  r.port = "/dev/null";
  r.script = "/dev/null";
  r.station = "bench";
  r.adapter = "A" + std::to_string(process);
  r.scriptSha256 = std::string(64, 'a');
  r.baud = 115200;
  r.start = r.end = std::chrono::system_clock::now();
  r.exitStatus = run % 7 == 0 ? 1 : 0;
  r.message = "Upload Complete.";
  for (int f = 0; f < 3; ++f)
    r.files.push_back({"examples/firmware/file" + std::to_string(f) + ".bin", 300000, "1a2b",
                       "8000", "V1.0", std::string(64, 'b'), 150, 26.1});
  r.replies = {{"VER", "ZK-UNIT FW 2.13 BUILD 0412"},
               {"SN", "SERIAL NO ZK-" + std::to_string(process * 100000 + run)}};
  return r;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One run's worth: open, write, close. The time in ms, or a negative number on failure.
double RecordOneRun(const std::string& path, int process, int run) {
  const auto start = Clock::now();
  zarnik::HistoryDb db;
  std::string error;
  zarnik::UnitRecord r = SampleRun(process, run);
  if (!db.Open(path, error) || !db.Add(r, error)) {
    std::fprintf(stderr, "history: %s\n", error.c_str());
    return -1;
  }
  return Ms(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 32;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 25;
  char tmpl[] = "/tmp/zarnik-bench-history-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string path = std::string(tmpl) + "/history.db";

  std::vector<double> alone;
  for (int i = 0; i < 50; ++i) alone.push_back(RecordOneRun(path, 0, i));
  std::sort(alone.begin(), alone.end());
  std::printf("one run recorded (open + one transaction), 50 runs: median %.1f ms, max %.1f ms\n",
              alone[alone.size() / 2], alone.back());

  const auto start = Clock::now();
  std::vector<pid_t> children;
  std::vector<int> pipes;
  for (int p = 0; p < processes; ++p) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      double worst = 0;
      for (int i = 0; i < runs; ++i) {
        const double ms = RecordOneRun(path, p + 1, i);
        if (ms < 0) _exit(1);
        worst = std::max(worst, ms);
      }
      (void)!write(fds[1], &worst, sizeof worst);
      _exit(0);
    }
    close(fds[1]);
    children.push_back(pid);
    pipes.push_back(fds[0]);
  }
  int failed = 0;
  double worst = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    double w = 0;
    if (read(pipes[i], &w, sizeof w) == sizeof w) worst = std::max(worst, w);
    close(pipes[i]);
    int status = 0;
    waitpid(children[i], &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
  }
  const double wall = Ms(Clock::now() - start);

  zarnik::HistoryDb db;
  std::string error;
  std::vector<zarnik::UnitRecord> all;
  if (!db.Open(path, error) || !db.Runs({}, all, error)) {
    std::fprintf(stderr, "history: %s\n", error.c_str());
    return 1;
  }
  const size_t expected = 50 + static_cast<size_t>(processes) * static_cast<size_t>(runs);
  std::printf("%d processes x %d runs at once: %.0f ms wall, slowest run %.1f ms, %d failed\n",
              processes, runs, wall, worst, failed);
  std::printf("runs found afterwards: %zu of %zu\n", all.size(), expected);
  fs::remove_all(tmpl);
  return failed == 0 && all.size() == expected ? 0 : 1;
}
