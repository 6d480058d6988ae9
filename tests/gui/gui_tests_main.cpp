// Runs the window test classes of this program one after the other.
#include <QApplication>
#include <QtTest>

#include "gui/application.h"
#include "gui_test_classes.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  zarnik::SetUpApplication();  // as the program does: its title, the fonts' stand-ins
  int failed = 0;
  for (auto& make : zarnik::GuiTestClasses()) {
    std::unique_ptr<QObject> test = make();
    failed += QTest::qExec(test.get(), argc, argv);
  }
  return failed == 0 ? 0 : 1;
}
