#include "gui/fonts.h"

#include <QStringList>

namespace zarnik {

void InstallFontSubstitutions() {
  // First choice, then fallbacks: fonts-liberation2 has Arial- and Courier
  // New-compatible metrics, fonts-comic-neue is drawn after Comic Sans; DejaVu is
  // on every Debian desktop.
  QFont::insertSubstitutions(kFormFontFamily, QStringList{"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions(kTitleFontFamily, QStringList{"Comic Neue", "DejaVu Sans"});
  QFont::insertSubstitutions(kTerminalFontFamily,
                             QStringList{"Liberation Mono", "DejaVu Sans Mono"});
}

QFont PixelFont(const QString& family, int pixelHeight) {
  QFont f(family);
  f.setPixelSize(pixelHeight);
  return f;
}

}  // namespace zarnik
