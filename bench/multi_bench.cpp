// Several units at once: four simulated units paced at a baud rate (115200 by
// default) each load a 1 MB file, first one unit at a time, then all at once from
// one zarnik-cli. For each unit: its data phase alone and among the others (the
// file's time in zarnik-cli's own report, from the bar shown to its last block),
// and the difference. Then the CPU of the run at once: user + system time of
// zarnik-cli and every zarnik-cli it started, against its wall time.
//
//   zarnik_bench_multi [UNITS] [SIZE_BYTES] [BAUD]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "json_reader.h"
#include "process.h"

namespace fs = std::filesystem;
using zarnik::testing::ParseJson;
using zarnik::testing::Process;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;

namespace {

double CpuOfReapedChildren() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

struct Run {
  int status = -1;
  double wall = 0, cpu = 0;
  std::vector<double> phases;  // per unit, in the order given
};

// One zarnik-cli over the given units; the data phases from its report.
Run RunCli(const fs::path& dir, const std::vector<std::string>& devices, const std::string& baud) {
  std::vector<std::string> args = {
      "run",      (dir / "load.sld").string(),   "--baud", baud, "--quiet",
      "--report", (dir / "report.json").string()};
  for (const auto& d : devices) args.insert(args.end(), {"--port", d});
  Run run;
  const double cpuBefore = CpuOfReapedChildren();
  const auto start = std::chrono::steady_clock::now();
  Process cli(ZARNIK_CLI_PATH, args, dir.string());
  run.status = cli.Wait(30 * 60 * 1000);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = CpuOfReapedChildren() - cpuBefore;
  auto report = ParseJson(ReadFile(dir / "report.json"));
  if (!report) return run;
  for (const auto& unit : (*report)["units"].items)
    run.phases.push_back(unit["files"][0]["seconds"].number);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t units = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4;
  const size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1 << 20;
  const std::string baud = argc > 3 ? argv[3] : "115200";
  const fs::path dir =
      fs::temp_directory_path() / ("zarnik-bench-multi-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string data(size, '\0');
  std::mt19937 gen(11);
  for (auto& c : data) c = static_cast<char>(gen());
  WriteFile(dir / "image.bin", data);
  WriteFile(dir / "load.sld", "_TC \"^M\"\n_LP 1\n_LK " + (dir / "image.bin").string() +
                                  "\n_LA 8000\n_LV BENCH\n_LD\n");

  std::vector<std::unique_ptr<Process>> sims;
  std::vector<std::string> devices;
  for (size_t i = 0; i < units; ++i) {
    sims.push_back(
        std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, std::vector<std::string>{"--baud", baud}));
    devices.push_back(sims.back()->ReadLine(5000));
  }
  const double lineRate = std::atof(baud.c_str()) / 10;
  std::printf("%zu units, %zu bytes each, paced at %s baud (%.0f bytes/s)\n", units, size,
              baud.c_str(), lineRate);

  std::vector<double> alone;
  for (size_t i = 0; i < units; ++i) {
    Run one = RunCli(dir, {devices[i]}, baud);
    alone.push_back(one.phases.empty() ? NAN : one.phases[0]);
    std::printf(
        "unit %zu alone:    exit %d, data phase %.3f s (%.1f bytes/s), CPU %.2f%% of a core\n",
        i + 1, one.status, alone.back(), size / alone.back(), 100 * one.cpu / one.wall);
    std::fflush(stdout);
  }
  Run all = RunCli(dir, devices, baud);
  std::printf("all at once:     exit %d, wall %.3f s\n", all.status, all.wall);
  double worst = 0;
  for (size_t i = 0; i < units && i < all.phases.size(); ++i) {
    const double diff = 100 * (all.phases[i] - alone[i]) / alone[i];
    worst = std::max(worst, std::fabs(diff));
    std::printf("unit %zu at once:  data phase %.3f s (%.1f bytes/s), %+.2f%% against alone\n",
                i + 1, all.phases[i], size / all.phases[i], diff);
  }
  std::printf("largest difference %.2f%% (target: within 1%%)\n", worst);
  std::printf(
      "zarnik-cli and its units: %.3f s CPU over %.3f s: %.2f%% of one core (target: under 10%%)\n",
      all.cpu, all.wall, 100 * all.cpu / all.wall);
  for (auto& s : sims) s->Signal(SIGTERM);
  for (auto& s : sims) s->Wait(5000);
  fs::remove_all(dir);
  return 0;
}
