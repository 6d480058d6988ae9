// The places the terminal pane and the status lamps will take. Until those widgets
// exist, the pane's place is a plain black area that keeps the pane's colours and
// font, takes the focus and hands typed keys to the main window's key handler, and
// each lamp's place is an unlit lamp. The main window talks to the pane only
// through TerminalView, which the real pane will implement in its place.
#pragma once

#include <QFont>
#include <QFrame>
#include <functional>

#include "platform/shell_view.h"

namespace zarnik {

QFont ToQFont(const TerminalFont& font);
TerminalFont FromQFont(const QFont& font);
// 0x00BBGGRR, red in the low byte.
QColor ToQColor(uint32_t colour);

class TerminalPanePlace : public QFrame, public TerminalView {
 public:
  // onKey gets each typed character (it may clear it to 0) and sends what is left.
  using KeyHandler = std::function<void(char& key)>;

  explicit TerminalPanePlace(QWidget* parent);

  void SetKeyHandler(KeyHandler handler) { onKey_ = std::move(handler); }

  void SetFocus() override;
  void SetVisible(bool visible) override { setVisible(visible); }
  void SetBackgroundColour(uint32_t colour) override;
  void SetTextColour(uint32_t colour) override;
  TerminalFont GetFont() const override { return font_; }
  void SetFont(const TerminalFont& font) override;

  uint32_t BackgroundColour() const { return background_; }
  uint32_t TextColour() const { return text_; }

 protected:
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  KeyHandler onKey_;
  uint32_t background_;
  uint32_t text_;
  TerminalFont font_;
};

class LampPlace : public QWidget {
 public:
  explicit LampPlace(QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* e) override;
};

}  // namespace zarnik
