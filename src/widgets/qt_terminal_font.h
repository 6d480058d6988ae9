// Conversions between the terminal's own font and colour values and Qt's.
#pragma once

#include <QColor>
#include <QFont>
#include <cstdint>

#include "platform/shell_view.h"

namespace zarnik {

QFont ToQFont(const TerminalFont& font);
TerminalFont FromQFont(const QFont& font);
// 0x00BBGGRR, red in the low byte.
QColor ToQColor(uint32_t colour);
uint32_t FromQColor(const QColor& colour);

}  // namespace zarnik
