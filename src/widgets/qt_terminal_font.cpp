#include "widgets/qt_terminal_font.h"

namespace zarnik {

QFont ToQFont(const TerminalFont& font) {
  QFont f(QString::fromStdString(font.Name));
  f.setPixelSize(font.Height > 0 ? font.Height : 12);
  f.setBold(font.Bold);
  f.setItalic(font.Italic);
  f.setUnderline(font.Underline);
  f.setStrikeOut(font.StrikeOut);
  return f;
}

TerminalFont FromQFont(const QFont& font) {
  TerminalFont t;
  t.Name = font.family().toStdString();
  // The font dialog speaks in points; the pane's font is set in pixels (96 per inch).
  t.Height = font.pixelSize() > 0 ? font.pixelSize() : qRound(font.pointSizeF() * 96.0 / 72.0);
  t.Bold = font.bold();
  t.Italic = font.italic();
  t.Underline = font.underline();
  t.StrikeOut = font.strikeOut();
  return t;
}

QColor ToQColor(uint32_t colour) {
  return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

uint32_t FromQColor(const QColor& colour) {
  return uint32_t(colour.red()) | (uint32_t(colour.green()) << 8) | (uint32_t(colour.blue()) << 16);
}

}  // namespace zarnik
