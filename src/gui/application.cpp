#include "gui/application.h"

#include <QApplication>

#include "gui/fonts.h"

namespace zarnik {

void SetUpApplication() {
  // The application title. Not the display name: Qt would append it to every
  // window title, and the titles are given exactly.
  QApplication::setApplicationName("Zarnik");
  InstallFontSubstitutions();
}

}  // namespace zarnik
