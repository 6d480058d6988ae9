#include "gui/terminal_place.h"

#include <QKeyEvent>
#include <QPainter>

#include "app/startup.h"

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

TerminalPanePlace::TerminalPanePlace(QWidget* parent)
    : QFrame(parent), background_(kDefaultBackgroundColour), text_(kDefaultTextColour) {
  setObjectName("TerminalPane1");
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TerminalPanePlace::SetFocus() {
  // Refused silently when the window cannot take the focus now.
  if (isVisible() && isEnabled()) setFocus(Qt::OtherFocusReason);
}

void TerminalPanePlace::SetBackgroundColour(uint32_t colour) {
  background_ = colour;
  update();
}

void TerminalPanePlace::SetTextColour(uint32_t colour) {
  text_ = colour;
  update();
}

void TerminalPanePlace::SetFont(const TerminalFont& font) {
  font_ = font;
  update();
}

void TerminalPanePlace::paintEvent(QPaintEvent* e) {
  QPainter p(this);
  p.fillRect(rect(), ToQColor(background_));
  p.setPen(ToQColor(text_));
  p.setFont(ToQFont(font_));
  // A caret in the top left corner, where the unit's first line will appear.
  const int h = QFontMetrics(p.font()).height();
  if (hasFocus())
    p.fillRect(QRect(4, 4 + h - 3, QFontMetrics(p.font()).horizontalAdvance('W'), 2),
               p.pen().color());
  p.end();
  QFrame::paintEvent(e);
}

void TerminalPanePlace::keyPressEvent(QKeyEvent* e) {
  char key = 0;
  switch (e->key()) {
    case Qt::Key_Backspace:
      key = 8;
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      key = 13;
      break;
    case Qt::Key_Escape:
      key = 27;
      break;
    case Qt::Key_Tab:
      key = 9;
      break;
    default: {
      const QByteArray text = e->text().toLatin1();
      if (text.size() == 1) key = text[0];
    }
  }
  if (key == 0) {
    QFrame::keyPressEvent(e);
    return;
  }
  if (onKey_) onKey_(key);
  e->accept();
}

LampPlace::LampPlace(QWidget* parent) : QWidget(parent) {
  resize(10, 10);
}

void LampPlace::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QColor(64, 64, 64));
  p.setBrush(QColor(0, 72, 0));  // unlit green
  p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

}  // namespace zarnik
