// Terminal pane benchmark: the main window (offscreen) against zarnik-unit-sim
// printing one line after another at 115200 baud (--unsolicited TEXT --every 1).
//  - Nothing dropped: the pane's capture of the raw bytes is an unbroken repetition
//    of the unit's line, and the screen and history show whole lines only.
//  - The last line shown within 100 ms of its arrival: the pane's own count of the
//    longest wait of a received block (from the data handler) for its paint, and the
//    time from stopping the unit to the pane's last paint of what was still coming.
//  - Under 10% of a core: CPU time of this process (the window thread, the port's
//    threads and the painting) over 10 s of continuous output, and of the window
//    thread alone. With --without-pane the pane takes no data (the rest of the
//    program alone, for the pane's share by difference).
//  - The work behind it: the pane's counts of blocks, paints and moved pictures.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "gui/fonts.h"
#include "gui/qt_host.h"
#include "gui/zarnik_form.h"

extern char** environ;

namespace {

using namespace zarnik;
const std::string kLine = "UNIT 04711 TEMP 41C VOLT 12.02 STATUS OK SEQ ABCDEFGHIJKLMNOP";

double CpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool withoutPane = app.arguments().contains("--without-pane");
  InstallFontSubstitutions();
  QTemporaryDir work;
  // The program's folder holds no settings file: COM1 at 38400 first. The main
  // window's file dialog watches the folder above it, so that folder is a quiet one
  // (not the busy temporary folder), and the capture goes elsewhere.
  QDir(work.path()).mkpath("program");
  QDir(work.path()).mkpath("capture");
  QDir::setCurrent(work.filePath("program"));
  const std::string pathFile = work.filePath("pty").toStdString();
  const std::string text = kLine + "\\r\\n";
  const char* args[] = {ZARNIK_UNIT_SIM_PATH, "--baud",  "115200", "--unsolicited",
                        text.c_str(),         "--every", "1",      "--path-file",
                        pathFile.c_str(),     nullptr};
  pid_t sim;
  if (posix_spawn(&sim, ZARNIK_UNIT_SIM_PATH, nullptr, nullptr, const_cast<char**>(args),
                  environ) != 0)
    return 1;
  std::string pty;
  for (int i = 0; i < 500 && pty.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(pathFile) >> pty;
  }
  if (pty.empty()) return 1;
  setenv("ZARNIK_COM1", pty.c_str(), 1);
  setenv("ZARNIK_COM2", "/nonexistent/zarnik-bench-com2", 1);

  QtHost host;
  host.autoAnswer = true;
  TZarnikForm main(host);
  main.show();
  while (!main.FormShown()) host.WaitAndProcessMessages(10);
  if (!main.ComPort1().GetOpen()) {
    std::fprintf(stderr, "the unit was not found on COM1\n");
    return 1;
  }
  main.ComPort1().SetBaud(115200);
  TTerminalPane& pane = main.TerminalPane();
  const QString capFile = work.filePath("capture/TERMINAL.CAP");
  pane.SetCaptureFile(capFile.toStdString());
  pane.SetCapture(cmOn);
  if (withoutPane) pane.SetActive(false);
  QElapsedTimer clock;
  clock.start();

  const TPaneCounters before = pane.Counters();
  const double cpu0 = CpuSeconds();
  const double window0 = CpuSeconds(RUSAGE_THREAD);
  const qint64 t0 = clock.elapsed();
  {
    // The desktop program's own loop, as in the real window: Qt's, with nothing of the
    // benchmark waking it.
    QEventLoop loop;
    QTimer::singleShot(10000, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
  }
  const double cpu = CpuSeconds() - cpu0;
  const double windowCpu = CpuSeconds(RUSAGE_THREAD) - window0;
  const double wall = double(clock.elapsed() - t0) / 1000.0;
  const TPaneCounters during = pane.Counters();

  kill(sim, SIGTERM);
  const qint64 stopped = clock.elapsed();
  waitpid(sim, nullptr, 0);
  qint64 lastPaint = stopped;
  uint64_t paints = pane.Counters().paints;
  while (clock.elapsed() - stopped < 1000) {
    host.WaitAndProcessMessages(5);
    if (pane.Counters().paints != paints) {
      paints = pane.Counters().paints;
      lastPaint = clock.elapsed();
    }
  }
  pane.SetCapture(cmOff);
  auto printCpu = [&] {
    std::printf("CPU: %.2f s over %.1f s = %.1f %% of a core (window thread %.1f %%)\n", cpu, wall,
                100.0 * cpu / wall, 100.0 * windowCpu / wall);
  };
  if (withoutPane) {
    std::printf("without the pane\n");
    printCpu();
    return 0;
  }

  QFile cap(capFile);
  if (!cap.open(QIODevice::ReadOnly)) return 1;
  const std::string bytes = cap.readAll().toStdString();
  const std::string unit = kLine + "\r\n";
  size_t pos = bytes.find("\r\n");
  size_t lines = 0, broken = 0;
  for (pos = pos == std::string::npos ? bytes.size() : pos + 2; pos + unit.size() <= bytes.size();
       pos += unit.size()) {
    if (bytes.compare(pos, unit.size(), unit) != 0) {
      ++broken;
      size_t next = bytes.find("\r\n", pos);
      if (next == std::string::npos) break;
      pos = next + 2 - unit.size();
      continue;
    }
    ++lines;
  }
  size_t badRows = 0;
  TTerminalBuffer& b = pane.Buffer();
  for (int row = 1 - b.HistoryRowCount(); row < b.CursorRow(); ++row) {
    std::string t = b.RowText(row);
    t.erase(t.find_last_not_of(' ') + 1);
    if (!t.empty() && t != kLine) ++badRows;
  }
  std::printf("received while measured: %zu bytes in %.1f s (%.0f bytes/s), %zu whole lines\n",
              bytes.size(), wall, double(bytes.size()) / wall, lines);
  std::printf("dropped or broken lines: %zu in the capture, %zu on the screen and in history\n",
              broken, badRows);
  std::printf("last line shown %lld ms after the unit stopped\n",
              static_cast<long long>(lastPaint - stopped));
  std::printf("longest wait of a received block for its paint: %llu ms\n",
              static_cast<unsigned long long>(pane.Counters().maxShowDelayMs));
  auto rate = [&](uint64_t TPaneCounters::*field) {
    return double(during.*field - before.*field) / wall;
  };
  std::printf("per second: %.0f blocks, %.0f paints (%.0f of every cell, %.0f moved pictures)\n",
              rate(&TPaneCounters::blocks), rate(&TPaneCounters::paints),
              rate(&TPaneCounters::fullPaints), rate(&TPaneCounters::canvasScrolls));
  printCpu();
  return 0;
}
