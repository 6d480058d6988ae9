// The fonts the windows are drawn with, and the installed families that stand in
// for them on Linux.
#pragma once

#include <QFont>
#include <QString>

namespace zarnik {

inline constexpr const char* kFormFontFamily = "MS Sans Serif";
inline constexpr const char* kTitleFontFamily = "Comic Sans MS";
inline constexpr const char* kTerminalFontFamily = "Courier New";

// Maps the three families to the nearest installed ones (metric-compatible where
// Debian has them). Call once after the QApplication exists.
void InstallFontSubstitutions();

// A family name in the given pixel height.
QFont PixelFont(const QString& family, int pixelHeight);

}  // namespace zarnik
