// zarnik: the desktop program. Start-up order: the application and its title, the
// main window, the progress window, the splash window (which may hold the screen
// for a moment), then the message loop, in which the main window is shown and
// runs its start-up sequence.
//
// ZARNIK_UNATTENDED=1 in the environment: message boxes are written to standard
// error instead of waiting for a click.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <exception>

#include "gui/application.h"
#include "gui/progress_form.h"
#include "gui/qt_host.h"
#include "gui/splash_form.h"
#include "gui/zarnik_form.h"
#include "zarnik_version.h"

int main(int argc, char** argv) {
  using namespace zarnik;
  // Answered before the toolkit starts, so it needs no display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("zarnik %s\n", kZarnikVersion);
    return 0;
  }
  QApplication app(argc, argv);
  SetUpApplication();
  try {
    QtHost host;
    // Nobody at the screen (a production line, a test): boxes go to standard error
    // and are closed at once, questions are answered No, so nothing waits for a click.
    if (qEnvironmentVariableIntValue("ZARNIK_UNATTENDED") == 1) {
      host.autoAnswer = true;
      host.onMessage = [](const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
      };
    }
    TZarnikForm mainForm(host);
    TProgressForm progressForm(mainForm.Core().Progress, &mainForm);
    TSplashForm splashForm(host, mainForm, progressForm, kSettingsFileName);
    mainForm.SetSplash(&splashForm);
    mainForm.show();
    app.exec();
    // Automatic mode never ends here with success unless its run succeeded.
    return mainForm.Core().Start.ExitStatus();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, "Zarnik", QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
