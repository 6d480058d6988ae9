// zarnik-screenshots: pictures of the windows for review, drawn on Qt's offscreen
// platform against the simulated unit. Writes into OUTDIR (default: the current
// folder): main-window.png after start-up, main-window-terminal.png with the
// unit's answers to a few commands in the terminal pane and the lamps lit and
// unlit, terminal-pane-font.png (the pane after Terminal Fonts... picked another
// font), main-window-terminal-hidden.png (Terminal > Visible unticked),
// progress-window.png and main-window-loading.png in the middle of a load,
// splash-halvern.png and splash-dorvik.png.
//
// zarnik-screenshots --grab-screen FILE: a picture of the whole screen of a real
// display (for looking at zarnik itself under Xvfb).
#include <stdlib.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDialog>
#include <QKeyEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>

#include "gui/application.h"
#include "gui/fonts.h"
#include "gui/progress_form.h"
#include "gui/qt_host.h"
#include "gui/splash_form.h"
#include "gui/zarnik_form.h"
#include "sim/simulated_unit.h"

namespace zarnik {
namespace {

bool Save(QWidget& w, const QDir& out, const char* name) {
  const QString path = out.filePath(name);
  if (w.grab().save(path)) {
    std::printf("%s\n", qPrintable(path));
    return true;
  }
  std::fprintf(stderr, "zarnik-screenshots: cannot write %s\n", qPrintable(path));
  return false;
}

bool Splash(QtHost& host, const QDir& work, const QDir& out, int brand, const char* name) {
  const std::string settings = work.filePath("brand.ini").toStdString();
  std::ofstream file(settings, std::ios::binary);
  for (int p = 1; p <= 22; ++p) file << "k" << p << "=\n";
  file << "Brand=" << brand << "\n";
  file.close();
  QMainWindow main;
  ProgressModel model(host);
  TProgressForm progress(model, &main);
  TSplashForm splash(host, main, progress, settings);
  return Save(splash, out, name);
}

// Grabs the windows at the second block of the first file.
class LoadCamera : public ProgressObserver {
 public:
  LoadCamera(TZarnikForm& main, TProgressForm& progress, const QDir& out)
      : main_(main), progress_(progress), out_(out) {}
  void ProgressStepped(const ProgressModel& m) override {
    if (m.Position() != 2 || taken) return;
    QApplication::processEvents();
    taken = Save(progress_, out_, "progress-window.png") &&
            Save(main_, out_, "main-window-loading.png");
  }
  bool taken = false;

 private:
  TZarnikForm& main_;
  TProgressForm& progress_;
  QDir out_;
};

// The operator types a few commands; the unit's answers and prompts fill the pane.
bool TerminalShot(QtHost& host, TZarnikForm& main, const QDir& out) {
  TTerminalPane& pane = main.TerminalPane();
  auto shows = [&](const std::string& text) {
    for (int row = 1; row <= pane.Rows(); ++row)
      if (pane.Buffer().RowText(row).find(text) != std::string::npos) return true;
    return false;
  };
  const std::pair<const char*, const char*> exchanges[] = {
      {"VER", "BUILD"}, {"SN", "SERIAL NO"}, {"STAT", "STATUS OK"}, {"LOADR", "LOADER READY"},
      {"", ">"}};
  for (const auto& [command, answer] : exchanges) {
    for (const char* c = command; *c; ++c) {
      QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(*c)));
      QApplication::sendEvent(&pane, &key);
    }
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&pane, &enter);
    QElapsedTimer clock;
    clock.start();
    while (!shows(answer) && clock.elapsed() < 5000) host.WaitAndProcessMessages(20);
  }
  // RXD and TXD have gone out again; CTS and DCD stay lit.
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 300) host.WaitAndProcessMessages(20);
  pane.SetFocus();
  QApplication::processEvents();
  return Save(main, out, "main-window-terminal.png");
}

// The pane after Terminal Fonts... (another fixed-pitch family, larger), then the
// window with the terminal area hidden; both put back afterwards.
bool FontAndHiddenShots(TZarnikForm& main, const QDir& out) {
  main.TerminalFonts1Click();
  QApplication::processEvents();
  bool ok = Save(main.TerminalPane(), out, "terminal-pane-font.png");
  main.TerminalPane().SetFont(TerminalFont{kTerminalFontFamily, 12});
  main.VisibleMenuClick();
  QApplication::processEvents();
  ok = Save(main, out, "main-window-terminal-hidden.png") && ok;
  main.VisibleMenuClick();
  QApplication::processEvents();
  return ok;
}

int Run(const QDir& out) {
  QTemporaryDir work;
  if (!work.isValid()) return 1;
  QDir workDir(work.path());
  // No settings file in the program's folder: the defaults are in force.
  QDir::setCurrent(work.path());

  SimulatedUnit unit({});
  std::string error;
  if (!unit.Start(error)) {
    std::fprintf(stderr, "zarnik-screenshots: cannot start the simulated unit: %s\n",
                 error.c_str());
    return 1;
  }
  setenv("ZARNIK_COM1", unit.DevicePath().c_str(), 1);
  setenv("ZARNIK_COM2", "/nonexistent/zarnik-com2", 1);

  QtHost host;
  host.autoAnswer = true;  // the outcome box would wait for a click
  bool ok = Splash(host, workDir, out, 0, "splash-halvern.png");
  ok = Splash(host, workDir, out, 100, "splash-dorvik.png") && ok;

  // A script loading a file of five blocks.
  const QString firmware = workDir.filePath("firmware.bin");
  {
    std::ofstream f(firmware.toStdString(), std::ios::binary);
    for (int i = 0; i < 9000; ++i) f.put(static_cast<char>(i * 7));
  }
  const QString script = workDir.filePath("demo.sld");
  {
    std::ofstream s(script.toStdString(), std::ios::binary);
    s << "_TC \"^M\"\n_LP 1\n_LF " << firmware.toStdString() << "\n_LA 8000\n_LV V1.06\n_LD\n";
  }

  ZarnikFormOptions options;
  options.runFileDialog = [&](QFileDialog& d) {
    d.selectFile(script);
    return true;
  };
  options.runFontDialog = [](QFontDialog& d) {
    QFont f("DejaVu Sans Mono");
    f.setStyleName("Book");  // the family's upright style (the dialog goes by style names)
    f.setPixelSize(15);
    d.setCurrentFont(f);
    return true;
  };
  TZarnikForm main(host, options);
  TProgressForm progress(main.Core().Progress, &main);
  main.show();
  QElapsedTimer clock;
  clock.start();
  while (!main.FormShown() && clock.elapsed() < 30000) host.WaitAndProcessMessages(50);
  if (!main.FormShown()) {
    std::fprintf(stderr, "zarnik-screenshots: the main window did not finish starting\n");
    return 1;
  }
  ok = Save(main, out, "main-window.png") && ok;
  ok = TerminalShot(host, main, out) && ok;
  ok = FontAndHiddenShots(main, out) && ok;

  LoadCamera camera(main, progress, out);
  main.Core().Progress.AddObserver(&camera);
  main.PickButtonClick();
  main.Core().Progress.RemoveObserver(&camera);
  if (!camera.taken)
    std::fprintf(stderr, "zarnik-screenshots: the load did not reach its second block\n");
  return ok && camera.taken ? 0 : 1;
}

}  // namespace
}  // namespace zarnik

int main(int argc, char** argv) {
  if (argc == 3 && QByteArray(argv[1]) == "--grab-screen") {
    qunsetenv("QT_QPA_PLATFORM");
    QApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen && screen->grabWindow(0).save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  zarnik::SetUpApplication();
  QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
  if (!out.mkpath(".")) return 1;
  out.makeAbsolute();
  return zarnik::Run(out);
}
