// How long start-up takes beyond its probe waits, with no settings file and no unit
// answering: the main window's first show (version label, settings, the probes of
// COM1 and COM2, the fallback, the status lights) without a window toolkit.
//
// Three measurements:
//  1. Real time, COM1 and COM2 silent ptys (ConsoleHost, TComPort): four prompt waits of
//     65 ticks run out. The elapsed time minus those waits is what start-up itself costs,
//     including opening and closing the ports and the waits' rounding to whole ticks (a
//     tick timer expires once more than its ticks have begun, up to 55 ms late each).
//  2. Real time, COM1 and COM2 absent: nothing to wait for, so all of it is overhead.
//  3. Virtual time against simulated silent units: the waits cost nothing, so the wall
//     time is the cost of the sequence, the channel and the port model.
// Usage: zarnik_bench_startup [--no-real]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "app/startup.h"
#include "com_bank.h"
#include "platform/console_host.h"
#include "serial/com_port.h"

namespace zarnik {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kProbeWaitsMs = 4.0 * kProbeTicks * kTickMs;  // two ports, two waits each

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A pty whose far end never answers.
struct SilentPty {
  SilentPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    path = ptsname(master);
  }
  ~SilentPty() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string path;
};

// FormShow on the real port and a console host in a folder without a settings file.
double RealStartupMs(const std::string& com1, const std::string& com2, std::string& status) {
  setenv("ZARNIK_COM1", com1.c_str(), 1);
  setenv("ZARNIK_COM2", com2.c_str(), 1);
  std::ostringstream sink;
  ConsoleHost host({&sink, true, "", true});
  TComPort port(host);
  SetUpComPort1(port);
  HeadlessShellView view;
  auto t0 = Clock::now();
  ShellCore core(host, port, view);
  core.Channel.LinkMode = kLinkRs232;
  core.Start.SettingsPath = "/nonexistent/LoaderDefault.ini";
  core.Start.FormShow();
  double ms = MsSince(t0);
  std::string all = sink.str();
  auto last = all.find_last_of('\n', all.size() > 1 ? all.size() - 2 : 0);
  status = all.substr(last == std::string::npos ? 0 : last + 1);
  if (!status.empty() && status.back() == '\n') status.pop_back();
  return ms;
}

double VirtualStartupMs(uint64_t& virtualMs) {
  VirtualHost host;
  testing::ComBank bank(host);
  sim::SimUnitOptions silent;
  silent.absent = true;
  bank.AddLine(1, silent);
  bank.AddLine(2, silent);
  testing::FakeShellView view;
  auto t0 = Clock::now();
  ShellCore core(host, bank, view, bank.Availability());
  core.Channel.LinkMode = kLinkRs232;
  core.Start.SettingsPath = "/nonexistent/LoaderDefault.ini";
  core.Start.FormShow();
  virtualMs = host.NowMs();
  return MsSince(t0);
}

}  // namespace
}  // namespace zarnik

int main(int argc, char** argv) {
  using namespace zarnik;
  const bool real = !(argc > 1 && std::strcmp(argv[1], "--no-real") == 0);
  std::printf("start-up, no settings file, no unit answering (limit: 500 ms beyond the waits)\n");

  constexpr int kVirtualRuns = 200;
  double worst = 0, total = 0;
  uint64_t virtualMs = 0;
  for (int i = 0; i < kVirtualRuns; ++i) {
    double ms = VirtualStartupMs(virtualMs);
    worst = std::max(worst, ms);
    total += ms;
  }
  std::printf(
      "  virtual time, 2 silent ports: %.3f ms wall on average, %.3f ms worst (%d runs); "
      "%llu ms of virtual time (waits %.0f ms)\n",
      total / kVirtualRuns, worst, kVirtualRuns, static_cast<unsigned long long>(virtualMs),
      kProbeWaitsMs);

  if (!real) return 0;
  std::string status;
  double none = RealStartupMs("/nonexistent/com1", "/nonexistent/com2", status);
  std::printf("  real time, no ports at all:   %.1f ms in all (\"%s\")\n", none, status.c_str());

  SilentPty one, two;
  if (one.path.empty() || two.path.empty()) {
    std::printf("  real time, silent ptys: cannot create a pty: %s\n", std::strerror(errno));
    return 1;
  }
  double ms = RealStartupMs(one.path, two.path, status);
  std::printf(
      "  real time, 2 silent ptys:     %.1f ms in all, waits %.0f ms, beyond them %.1f ms "
      "(\"%s\")\n",
      ms, kProbeWaitsMs, ms - kProbeWaitsMs, status.c_str());
  return ms - kProbeWaitsMs <= 500 ? 0 : 1;
}
