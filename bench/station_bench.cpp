// The station on simulated units: (1) from a unit connected (the simulator's SIGUSR2)
// to the station saying it loads it, a few times, with --probe-every 2; (2) the CPU of
// a station watching PORTS silent ports (eight by default) over SECONDS, its port
// loops included, against wall time.
//
//   zarnik_bench_station [PORTS] [SECONDS]
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace fs = std::filesystem;
using zarnik::testing::Process;
using zarnik::testing::WaitFor;
using zarnik::testing::WriteFile;
using Clock = std::chrono::steady_clock;

namespace {

// utime + stime in seconds of pid and every process below it.
double TreeCpu(pid_t pid) {
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  double total = 0;
  std::vector<pid_t> todo = {pid};
  while (!todo.empty()) {
    const pid_t p = todo.back();
    todo.pop_back();
    std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
      if (i == 14 || i == 15) total += std::stod(f) / tick;
    }
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream child(entry.path() / "stat");
      std::string ct((std::istreambuf_iterator<char>(child)), {});
      const size_t cc = ct.rfind(')');
      if (cc == std::string::npos) continue;
      std::istringstream cf(ct.substr(cc + 2));
      std::string state, ppid;
      cf >> state >> ppid;
      if (std::atoi(ppid.c_str()) == p) todo.push_back(std::atoi(name.c_str()));
    }
  }
  return total;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int ports = argc > 1 ? std::atoi(argv[1]) : 8;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
  const fs::path dir = fs::temp_directory_path() / ("zarnik-bench-station-" + std::to_string(getpid()));
  fs::create_directories(dir);
  WriteFile(dir / "f.bin", std::string(100, 'x'));
  WriteFile(dir / "s.sld", "_TC \"^M\"\n_LP 1\n_LF " + (dir / "f.bin").string() + "\n_LA 1\n_LV V\n_LD\n");

  {  // (1) connected -> loading
    Process sim(ZARNIK_UNIT_SIM_PATH, {"--link", (dir / "u").string(), "--log", (dir / "log").string()});
    sim.ReadLine(5000);
    sim.Signal(SIGUSR1);
    WaitFor([&] { return Count(zarnik::testing::ReadFile(dir / "log"), "DISCONNECT") == 1; }, 5000);
    Process station(ZARNIK_CLI_PATH, {"station", (dir / "s.sld").string(), "--port", (dir / "u").string(),
                                      "--db", (dir / "h.db").string(), "--probe-every", "2"});
    std::vector<double> delays;
    for (int i = 0; i < 4; ++i) {
      // Connect at a different point of the probe cycle each time.
      WaitFor([] { return false; }, 1300 + 900 * i);
      const auto t0 = Clock::now();
      sim.Signal(SIGUSR2);
      const size_t want = static_cast<size_t>(i + 1);
      if (!WaitFor([&] { return Count(station.Stdout(), "  loading\n") >= want; }, 30000)) break;
      delays.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
      WaitFor([&] { return Count(station.Stdout(), "passed, ") >= want; }, 30000);
      sim.Signal(SIGUSR1);
      WaitFor([&] { return Count(station.Stdout(), "waiting for a unit") >= want + 1; }, 30000);
    }
    std::printf("unit connected -> being loaded (--probe-every 2):");
    for (double d : delays) std::printf(" %.1f s", d);
    std::printf("\n");
    station.Signal(SIGINT);
    station.Wait(30000);
    sim.Signal(SIGTERM);
  }

  {  // (2) idle ports
    std::vector<std::unique_ptr<Process>> sims;
    std::vector<std::string> args = {"station", (dir / "s.sld").string(), "--db", (dir / "h2.db").string()};
    for (int i = 0; i < ports; ++i) {
      const std::string link = (dir / ("p" + std::to_string(i))).string();
      sims.push_back(std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, std::vector<std::string>{"--absent", "--link", link}));
      sims.back()->ReadLine(5000);
      args.insert(args.end(), {"--port", link});
    }
    Process station(ZARNIK_CLI_PATH, args);
    WaitFor([] { return false; }, 3000);  // past the start
    const double cpu0 = TreeCpu(station.Pid());
    const auto t0 = Clock::now();
    WaitFor([] { return false; }, seconds * 1000);
    const double cpu = TreeCpu(station.Pid()) - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%d silent ports watched for %.0f s: %.2f s CPU, %.2f%% of one core\n", ports, wall,
                cpu, 100.0 * cpu / wall);
    station.Signal(SIGINT);
    station.Wait(30000);
  }
  fs::remove_all(dir);
  return 0;
}
