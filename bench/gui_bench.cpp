// Desktop program benchmark.
//  1. Start-up to the main window shown and its start-up sequence done, with no
//     settings file: (a) no COM port present, so no probe waits at all; (b) a
//     unit on COM1 that never answers, whose two prompt waits (2 x 65 ticks of
//     55 ms) are subtracted. Target: at most 0.5 s beyond the probe waits.
//  2. Idle CPU of the real zarnik with the port open and the window shown, over
//     10 s. Target: under 1% of a core.
// Offscreen platform; in-process for (1), a child process for (2).
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "gui/fonts.h"
#include "gui/progress_form.h"
#include "gui/qt_host.h"
#include "gui/splash_form.h"
#include "gui/zarnik_form.h"
#include "sim/simulated_unit.h"

extern char** environ;

namespace {

using namespace zarnik;
constexpr double kProbeWaitsMs = 2 * 65 * kTickMs;

// Builds the windows in the program's order and waits for the start-up sequence.
double StartUpMs(QElapsedTimer& since) {
  QtHost host;
  host.autoAnswer = true;
  TZarnikForm main(host);
  TProgressForm progress(main.Core().Progress, &main);
  TSplashForm splash(host, main, progress, kSettingsFileName);
  main.SetSplash(&splash);
  main.show();
  while (!main.FormShown()) host.WaitAndProcessMessages(10);
  return since.nsecsElapsed() / 1e6;
}

long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InstallFontSubstitutions();
  QTemporaryDir work;
  QDir::setCurrent(work.path());  // no settings file

  setenv("ZARNIK_COM1", "/nonexistent/zarnik-bench-com1", 1);
  setenv("ZARNIK_COM2", "/nonexistent/zarnik-bench-com2", 1);
  const double noPorts = StartUpMs(sinceStart);
  std::printf("start-up, no COM port present:            %7.1f ms (application object included)\n",
              noPorts);

  sim::PtyUnitConfig silent;
  silent.unit.absent = true;
  SimulatedUnit absent(silent);
  std::string error;
  if (!absent.Start(error)) return 1;
  setenv("ZARNIK_COM1", absent.DevicePath().c_str(), 1);
  QElapsedTimer sinceWindows;
  sinceWindows.start();
  const double silentUnit = StartUpMs(sinceWindows);
  std::printf("start-up, silent unit on COM1:            %7.1f ms, %6.1f ms beyond the %.0f ms of "
              "probe waits\n",
              silentUnit, silentUnit - kProbeWaitsMs, kProbeWaitsMs);
  absent.Stop();

  SimulatedUnit unit({});
  if (!unit.Start(error)) return 1;
  setenv("ZARNIK_COM1", unit.DevicePath().c_str(), 1);
  pid_t pid;
  char* args[] = {const_cast<char*>(ZARNIK_GUI_PATH), nullptr};
  if (posix_spawn(&pid, ZARNIK_GUI_PATH, nullptr, nullptr, args, environ) != 0) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(3));  // start-up: the unit answers at once
  const long before = CpuTicks(pid);
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long after = CpuTicks(pid);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::printf("idle CPU, port open, window shown:        %7.2f %% of a core over %.1f s\n",
              100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / seconds, seconds);
  return 0;
}
