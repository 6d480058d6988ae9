#include "widgets/terminal_pane.h"

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QStyleHints>
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "serial/com_port.h"
#include "serial/serial_exceptions.h"
#include "terminal/ansi_charset.h"
#include "widgets/qt_terminal_font.h"

namespace zarnik {

// Draws the emulator's runs into the canvas: the background of each cell, then the
// glyphs, each placed exactly one cell width after the one before.
class TCustomTerminalPane::CanvasPainter : public TTerminalPainter {
 public:
  CanvasPainter(TCustomTerminalPane& pane, QImage& canvas) : pane_(pane), canvas_(canvas) {}

  void DrawRun(const TPaintRun& run) override {
    if (!p_.isActive()) p_.begin(&canvas_);
    const TTerminalGeometry& g = pane_.geo_;
    const int n = static_cast<int>(run.text.size());
    const QRect cells((run.column - g.originCol) * g.cellWidth,
                      (run.row - g.TopRow()) * g.cellHeight, n * g.cellWidth, g.cellHeight);
    const QColor fore = ToQColor(run.fore);
    p_.fillRect(cells, ToQColor(run.back));
    DrawGlyphs(cells, run.text, fore);
    const QFont& font = pane_.font_;
    p_.setPen(fore);
    if (run.underline || font.underline()) {
      const int y = cells.top() + g.cellHeight - 2;
      p_.drawLine(cells.left(), y, cells.right(), y);
    }
    if (run.strikethrough || font.strikeOut()) {
      const int y = cells.top() + g.cellHeight / 2;
      p_.drawLine(cells.left(), y, cells.right(), y);
    }
    changed_ |= cells;
  }

  // The canvas holds whole rows, so moving its lines leaves whole rows to redraw.
  bool ScrollUp(int rows) override {
    const int dy = rows * pane_.geo_.cellHeight;
    if (p_.isActive() || dy <= 0 || dy >= canvas_.height()) return false;
    const qsizetype line = canvas_.bytesPerLine();
    uchar* bits = canvas_.bits();
    std::memmove(bits, bits + dy * line, size_t(line * (canvas_.height() - dy)));
    changed_ |= canvas_.rect();
    ++pane_.counters_.canvasScrolls;
    return true;
  }
  QRect Changed() const { return changed_; }

 private:
  void DrawGlyphs(const QRect& cells, std::string_view text, const QColor& fore) {
    const int cw = pane_.geo_.cellWidth;
    const QRawFont& raw = pane_.rawFont_;
    if (!raw.isValid()) {
      p_.setFont(pane_.font_);
      p_.setPen(fore);
      for (size_t i = 0; i < text.size(); ++i)
        p_.drawText(QPointF(cells.left() + int(i) * cw, cells.top() + pane_.ascent_),
                    QString(QChar(AnsiToUnicode(uint8_t(text[i])))));
      return;
    }
    glyphs_.clear();
    positions_.clear();
    for (size_t i = 0; i < text.size(); ++i) {
      const uint8_t c = uint8_t(text[i]);
      if (c == ' ') continue;
      glyphs_.push_back(pane_.glyphs_[c]);
      positions_.push_back(QPointF(qreal(int(i) * cw), 0));
    }
    if (glyphs_.empty()) return;
    QGlyphRun run;
    run.setRawFont(raw);
    run.setGlyphIndexes(glyphs_);
    run.setPositions(positions_);
    p_.setPen(fore);
    p_.drawGlyphRun(QPointF(cells.left(), cells.top() + pane_.ascent_), run);
  }

  TCustomTerminalPane& pane_;
  QImage& canvas_;
  QPainter p_;  // begun at the first run, after a possible scroll
  QRect changed_;
  QList<quint32> glyphs_;
  QList<QPointF> positions_;
};

TCustomTerminalPane::TCustomTerminalPane(Host& host, QWidget* parent)
    : QAbstractScrollArea(parent), host_(host), core_(host, this), font_("Terminal") {
  font_.setPointSize(9);
  host_.AddTarget(this);
  core_.SetSite(this);
  core_.Buffer().SetCursorMovedHandler([this](int, int) { CursorMoved(); });
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setCursor(Qt::IBeamCursor);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  SetBorderStyle(bsSingle);
  resize(300, 200);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this](int action) {
    if (!autoScrollback_ || settingBars_) return;
    const bool up = action == QAbstractSlider::SliderSingleStepSub;
    if (!scrollback_ && up && geo_.TopRow() <= 1 && geo_.fullRows < Rows()) {
      SetScrollback(true);
    } else if (scrollback_ && geo_.TopRow() > 1) {
      SetScrollback(false);
    }
  });
  // Created stopped; UpdateHeartbeat starts it when there is work for it.
  heartbeat_.setInterval(kHeartbeatMs);
  connect(&heartbeat_, &QTimer::timeout, this, [this] { Heartbeat(); });
  frame_.setSingleShot(true);
  connect(&frame_, &QTimer::timeout, this, [this] { PaintChanged(); });
  connect(&caretBlink_, &QTimer::timeout, this, [this] {
    caretOn_ = !caretOn_;
    viewport()->update(caretShown_.isEmpty() ? CaretRect() : caretShown_);
  });
  connect(QGuiApplication::styleHints(), &QStyleHints::cursorFlashTimeChanged, this,
          [this] { UpdateCaretBlink(); });
  tmLoad();
}

TCustomTerminalPane::~TCustomTerminalPane() {
  heartbeat_.stop();
  frame_.stop();
  caretBlink_.stop();
  SetComPort(nullptr);
  host_.RemoveTarget(this);
}

// ================================================================ attaching

void TCustomTerminalPane::SetComPort(TCustomComPort* port) {
  if (port == port_) return;
  if (port_) {
    tmDetachFromComPort();
    port_->DeregisterUser(this);
  }
  port_ = port;
  attachPending_ = false;
  if (port_) {
    port_->RegisterUserEx(this);
    RequestAttach();
  }
}

void TCustomTerminalPane::RequestAttach() {
  attachPending_ = true;
  host_.Post(this, kMsgWaitForPort);
}

void TCustomTerminalPane::WmWaitForPort() {
  if (attaching_) return;
  attaching_ = true;
  struct Release {
    bool& flag;
    ~Release() { flag = false; }
  } release{attaching_};
  if (!port_) return;
  if (port_->Loading()) {
    host_.Post(this, kMsgWaitForPort);
    return;
  }
  if (handlerRegistered_ || (!port_->GetOpen() && !port_->GetAutoOpen())) {
    attachPending_ = active_;
    return;
  }
  attachPending_ = false;
  try {
    if (!port_->GetOpen()) port_->SetOpen(true);
  } catch (const ESerialException& e) {
    host_.ShowMessage(e.what());
    return;
  }
  if (active_) tmAttachToComPort();
  tmLoad();
  core_.Buffer().SetCursorPos(1, core_.Buffer().CursorCol());
}

void TCustomTerminalPane::tmAttachToComPort() {
  TBaseDispatcher* dispatcher = port_ ? port_->Dispatcher() : nullptr;
  if (!dispatcher || handlerRegistered_) return;
  dispatcher->RegisterEventTriggerHandler(
      this, [this, dispatcher](uint32_t msg, uintptr_t wParam, intptr_t) {
        DataHandler(dispatcher, msg, wParam);
      });
  attachedGeneration_ = portGeneration_;
  handlerRegistered_ = true;
}

void TCustomTerminalPane::tmDetachFromComPort() {
  if (handlerRegistered_) {
    TBaseDispatcher* dispatcher = port_ ? port_->Dispatcher() : nullptr;
    // Only the dispatcher the handler went to: once the port has closed or opened
    // again since, that one is gone and took its handlers with it (a new one may
    // even sit at the same address).
    if (dispatcher && attachedGeneration_ == portGeneration_)
      dispatcher->DeregisterEventTriggerHandler(this);
    handlerRegistered_ = false;
  }
  if (active_) attachPending_ = true;
}

// Dispatcher thread: only the queue and a post; painting is the window thread's.
void TCustomTerminalPane::DataHandler(TBaseDispatcher* dispatcher, uint32_t msg, uintptr_t wParam) {
  if (msg != kMsgTriggerAvail || wParam == 0) return;
  const size_t got = core_.QueueFromPort(wParam, [dispatcher](uint8_t* dst, size_t n) -> size_t {
    const int got = dispatcher->GetBlock(dst, n);
    return got < 0 ? 0 : static_cast<size_t>(got);
  });
  uint64_t none = 0;
  if (got > 0) firstQueuedMs_.compare_exchange_strong(none, host_.NowMs() + 1);
}

void TCustomTerminalPane::SetActive(bool on) {
  if (on == active_) return;
  active_ = on;
  if (!on) {
    tmDetachFromComPort();
    attachPending_ = false;
  } else if (port_) {
    RequestAttach();
  }
}

intptr_t TCustomTerminalPane::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  switch (msg) {
    case kMsgPortOpen:
      ++portGeneration_;
      if (attachPending_) RequestAttach();
      break;
    case kMsgPortClose:
      ++portGeneration_;
      tmDetachFromComPort();
      break;
    case kMsgPortClosing:
      tmDetachFromComPort();
      break;
    case kMsgWaitForPort:
      WmWaitForPort();
      break;
    case kMsgTermStuff:
      WmTermStuff(static_cast<TCharSource>(wParam));
      break;
    case kMsgTermNeedsUpdate:
      if (!useLazyDisplay_) ScheduleFrame();
      UpdateHeartbeat();
      break;
    case kMsgTermForceSize: {
      TTerminalBuffer& b = core_.Buffer();
      setHorizontalScrollBarPolicy(geo_.HBarShown(hideScrollbars_, b.CursorCol())
                                       ? Qt::ScrollBarAlwaysOn
                                       : Qt::ScrollBarAlwaysOff);
      setVerticalScrollBarPolicy(geo_.VBarShown(hideScrollbars_, b.CursorRow())
                                     ? Qt::ScrollBarAlwaysOn
                                     : Qt::ScrollBarAlwaysOff);
      tmCalcExtent();
      break;
    }
    default:
      break;
  }
  return 0;
}

// ================================================================ bytes

void TCustomTerminalPane::WriteChar(char ch) {
  core_.QueueText(std::string_view(&ch, 1));
}

void TCustomTerminalPane::WriteString(std::string_view text) {
  core_.QueueText(text);
}

void TCustomTerminalPane::WmTermStuff(TCharSource source) {
  const uint64_t arrived = firstQueuedMs_.exchange(0);
  const size_t n = core_.ProcessQueued(source);
  if (n == 0) return;
  ++counters_.blocks;
  counters_.bytes += n;
  if (unpaintedSinceMs_ == 0) unpaintedSinceMs_ = arrived ? arrived : host_.NowMs() + 1;
  if (!useLazyDisplay_) ScheduleFrame();
  bytesSincePaint_ += static_cast<int>(n);
  UpdateHeartbeat();
}

void TCustomTerminalPane::ClearAll() {
  core_.Emulator().teClearAll();
  PaintChanged();
}

void TCustomTerminalPane::Clear() {
  core_.Emulator().teClear();
  PaintChanged();
}

void TCustomTerminalPane::SendToPort(uint8_t ch) {
  if (!port_ || !port_->GetOpen()) return;  // a closed port takes nothing
  try {
    port_->PutChar(static_cast<char>(ch));
  } catch (const ESerialException& e) {
    host_.ShowMessage(e.what());
  }
}

void TCustomTerminalPane::Bell() {
  QApplication::beep();
}

// ================================================================ geometry

void TCustomTerminalPane::tmLoad() {
  const QFontMetrics fm(font_);
  geo_.cellHeight = std::max(fm.height() + std::max(fm.leading(), 0), 1);
  ascent_ = fm.ascent();
  // Windows-1252: codes 128-255 are printable too.
  std::array<QChar, 256> chars;
  for (int c = 0; c < 256; ++c) chars[c] = QChar(AnsiToUnicode(uint8_t(c)));
  rawFont_ = QRawFont::fromFont(font_);
  bool haveGlyphs = false;
  if (rawFont_.isValid()) {
    int count = 256;
    std::array<quint32, 256> indexes{};
    if (rawFont_.glyphIndexesForChars(chars.data(), 256, indexes.data(), &count)) {
      // A character the font lacks shows as a question mark, not as a missing glyph.
      for (int c = 128; c < 256; ++c)
        if (indexes[c] == 0) indexes[c] = indexes['?'];
      std::copy(indexes.begin(), indexes.end(), glyphs_.begin());
      haveGlyphs = true;
    }
  }
  // The cell is as wide as the widest character the pane draws, so the columns
  // line up even with a proportional font. Measured on the glyphs drawn: a
  // character the font lacks would otherwise be measured in whichever fallback
  // font the machine has.
  qreal widest = 1;
  if (haveGlyphs) {
    QList<quint32> drawn(glyphs_.begin() + 32, glyphs_.end());
    for (const QPointF& advance : rawFont_.advancesForGlyphIndexes(drawn))
      widest = std::max(widest, advance.x());
  } else {
    for (int c = 32; c < 256; ++c) widest = std::max<qreal>(widest, fm.horizontalAdvance(chars[c]));
  }
  geo_.cellWidth = std::max(qRound(widest), 1);
  tmCalcExtent();
  PaintAll();
}

QFont TCustomTerminalPane::DrawnFont() const {
  QFont drawn = font_;
  drawn.setFamily(QFontInfo(font_).family());
  return drawn;
}

void TCustomTerminalPane::tmCalcExtent() {
  geo_.Calc(viewport()->width(), viewport()->height(), Columns(), Rows(), scrollback_);
  geo_.ClampRowShift(freezeScrollBack_, core_.Buffer().HistoryRowCount());
  if (FitCanvas()) PaintAll();
  UpdateBars();
}

// The canvas takes the size the geometry gives for the origin in force: whole cells,
// a partly visible last column and row included, so a moved picture never leaves
// half a cell behind and the partly visible column is always painted.
bool TCustomTerminalPane::FitCanvas() {
  const QSize size(geo_.CanvasWidth(), geo_.CanvasHeight());
  if (canvas_.size() == size) return false;
  canvas_ = QImage(size, QImage::Format_RGB32);
  canvas_.fill(ToQColor(color_));
  return true;
}

void TCustomTerminalPane::UpdateBars() {
  TTerminalBuffer& b = core_.Buffer();
  const bool hNeed = geo_.HBarShown(hideScrollbars_, b.CursorCol());
  const bool vNeed = geo_.VBarShown(hideScrollbars_, b.CursorRow());
  const bool hShown = horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
  const bool vShown = verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
  if (hNeed != hShown || vNeed != vShown) host_.Post(this, kMsgTermForceSize);
  settingBars_ = true;
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, geo_.HBarMax());
  h->setPageStep(std::max(geo_.fullCols, 1));
  h->setValue(geo_.HBarPosition());
  QScrollBar* v = verticalScrollBar();
  v->setRange(geo_.VBarMin(b.HistoryRowCount()), geo_.VBarMax());
  v->setPageStep(std::max(geo_.fullRows, 1));
  v->setValue(geo_.TopRow());
  settingBars_ = false;
}

// The vertical bar shows the top row of the view. Frozen, it moves the origin row
// itself; otherwise it shifts the view beyond the origin row, and the shift stays
// when the origin row follows the cursor.
void TCustomTerminalPane::scrollContentsBy(int, int) {
  if (settingBars_) return;
  geo_.ScrollTo(horizontalScrollBar()->value(), verticalScrollBar()->value(), freezeScrollBack_);
  PaintAll();
}

void TCustomTerminalPane::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  tmCalcExtent();
}

void TCustomTerminalPane::CursorMoved() {
  TTerminalBuffer& b = core_.Buffer();
  if (followCursor_) {
    int dCols = 0, dRows = 0;
    if (geo_.FollowCursor(b.CursorRow(), b.CursorCol(), Columns(), dCols, dRows)) {
      geo_.ClampRowShift(freezeScrollBack_, b.HistoryRowCount());
      FitCanvas();
      originMoved_ = true;  // the cells are painted anew at the next frame
      UpdateBars();
    }
  }
  if (OnCursorMoved) OnCursorMoved(this, b.CursorRow(), b.CursorCol());
}

// ================================================================ painting

void TCustomTerminalPane::ScheduleFrame() {
  if (frame_.isActive()) return;
  const QScreen* s = screen();
  const qreal hz = s && s->refreshRate() > 0 ? s->refreshRate() : 60.0;
  frame_.start(std::clamp(int(1000.0 / hz), 1, 50));
}

void TCustomTerminalPane::PaintChanged() {
  frame_.stop();
  TTerminalEmulator& emu = core_.Emulator();
  if (originMoved_) {
    PaintAll();
    return;
  }
  if (emu.teGetNeedsUpdate()) {
    const bool all = core_.Buffer().RepaintAll();
    CanvasPainter painter(*this, canvas_);
    emu.LazyPaint(painter, geo_.VisibleArea());
    QRect changed = painter.Changed();
    if (!changed.isEmpty()) viewport()->update(changed);
    ++counters_.paints;
    if (all) ++counters_.fullPaints;
  }
  Painted();
}

void TCustomTerminalPane::PaintAll() {
  frame_.stop();
  originMoved_ = false;
  FitCanvas();
  canvas_.fill(ToQColor(color_));
  {
    CanvasPainter painter(*this, canvas_);
    core_.Emulator().Paint(painter, geo_.VisibleArea());
  }
  viewport()->update();
  ++counters_.paints;
  ++counters_.fullPaints;
  UpdateBars();
  Painted();
}

void TCustomTerminalPane::Painted() {
  bytesSincePaint_ = 0;
  lastPaintMs_ = host_.NowMs();
  if (unpaintedSinceMs_ != 0) {
    const uint64_t waited = lastPaintMs_ + 1 - unpaintedSinceMs_;
    counters_.maxShowDelayMs = std::max(counters_.maxShowDelayMs, waited);
    unpaintedSinceMs_ = 0;
  }
  UpdateCaret();
}

QRect TCustomTerminalPane::CaretRect() const {
  if (cursorType_ == ctNone || !hasFocus()) return {};
  TTerminalBuffer& b = const_cast<TCustomTerminalPane*>(this)->core_.Buffer();
  int x = 0, y = 0;
  if (!geo_.CaretPos(b.CursorRow(), b.CursorCol(), viewport()->width(), viewport()->height(), x, y))
    return {};
  if (cursorType_ == ctUnderline) return QRect(x, y + geo_.cellHeight - 2, geo_.cellWidth, 2);
  return QRect(x, y, geo_.cellWidth, geo_.cellHeight);
}

void TCustomTerminalPane::UpdateCaret() {
  const QRect caret = CaretRect();
  if (caret == caretShown_) return;
  viewport()->update(caretShown_);
  viewport()->update(caret);
  caretShown_ = caret;
  // A caret that has just moved shows at once and starts its blink anew.
  caretOn_ = true;
  UpdateCaretBlink();
  if (caretBlink_.isActive()) caretBlink_.start();
}

// The caret blinks with the platform's cursor flash time (a whole on-off period; 0
// means a steady caret) while it is shown, and its timer stops otherwise.
void TCustomTerminalPane::UpdateCaretBlink() {
  const int half = QGuiApplication::styleHints()->cursorFlashTime() / 2;
  if (half <= 0 || !isVisible() || CaretRect().isEmpty()) {
    caretBlink_.stop();
    if (!caretOn_) {
      caretOn_ = true;
      viewport()->update(caretShown_);
    }
    return;
  }
  if (!caretBlink_.isActive() || caretBlink_.interval() != half) caretBlink_.start(half);
}

void TCustomTerminalPane::paintEvent(QPaintEvent* e) {
  // Changes waiting for their frame go in first: a paint never shows an older screen
  // than the buffer holds.
  if (frame_.isActive()) PaintChanged();
  QPainter p(viewport());
  const QRect dirty = e->rect();
  p.drawImage(dirty.topLeft(), canvas_, dirty);
  const QColor back = ToQColor(color_);
  const TPixelRect& r = geo_.rightMargin;
  const TPixelRect& b = geo_.bottomMargin;
  p.fillRect(QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)), back);
  p.fillRect(QRect(QPoint(b.left, b.top), QPoint(b.right - 1, b.bottom - 1)), back);
  caretShown_ = CaretRect();
  if (!caretShown_.isEmpty() && caretOn_) {
    // An inverting caret shows on any colour.
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.fillRect(caretShown_, Qt::white);
  }
}

void TCustomTerminalPane::focusInEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusInEvent(e);
  UpdateCaret();
  UpdateCaretBlink();
}

void TCustomTerminalPane::focusOutEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusOutEvent(e);
  UpdateCaret();
  UpdateCaretBlink();
}

void TCustomTerminalPane::showEvent(QShowEvent* e) {
  QAbstractScrollArea::showEvent(e);
  UpdateCaretBlink();
}

void TCustomTerminalPane::hideEvent(QHideEvent* e) {
  QAbstractScrollArea::hideEvent(e);
  UpdateCaretBlink();
}

void TCustomTerminalPane::Heartbeat() {
  if (selecting_ && !viewport()->rect().contains(lastMouse_)) {
    // Pull the view along with a selection that has left the pane.
    QScrollBar* h = horizontalScrollBar();
    QScrollBar* v = verticalScrollBar();
    if (lastMouse_.x() < 0) h->setValue(h->value() - 1);
    if (lastMouse_.x() >= viewport()->width()) h->setValue(h->value() + 1);
    if (lastMouse_.y() < 0) v->setValue(v->value() - 1);
    if (lastMouse_.y() >= viewport()->height()) v->setValue(v->value() + 1);
    SelectTo(lastMouse_);
  }
  blinkCounter_ += kHeartbeatMs;
  if (blinkTime_ > 0 && blinkCounter_ >= blinkTime_) {
    blinkCounter_ = 0;
    blinkPhase_ = !blinkPhase_;
    if (core_.Emulator().HasBlinkingText()) {
      CanvasPainter painter(*this, canvas_);
      core_.Emulator().BlinkPaint(painter, geo_.VisibleArea(), blinkPhase_);
      viewport()->update(painter.Changed());
    }
  }
  if (useLazyDisplay_ && core_.Emulator().teGetNeedsUpdate() &&
      (bytesSincePaint_ >= lazyByteDelay_ ||
       host_.NowMs() - lastPaintMs_ >= uint64_t(lazyTimeDelay_)))
    PaintChanged();
  UpdateHeartbeat();
}

void TCustomTerminalPane::UpdateHeartbeat() {
  const bool pulling = selecting_ && !viewport()->rect().contains(lastMouse_);
  const bool lazyWork = useLazyDisplay_ && core_.Emulator().teGetNeedsUpdate();
  const bool blinking = blinkTime_ > 0 && core_.Emulator().HasBlinkingText();
  const bool needed = pulling || lazyWork || blinking;
  if (needed == heartbeat_.isActive()) return;
  if (needed) {
    heartbeat_.start();
  } else {
    heartbeat_.stop();
  }
}

// ================================================================ keyboard and mouse

bool TCustomTerminalPane::event(QEvent* e) {
  // Taking all keys: Tab goes to the unit instead of moving the focus.
  if (wantAllKeys_ && e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab) {
      keyPressEvent(k);
      return true;
    }
  }
  return QAbstractScrollArea::event(e);
}

void TCustomTerminalPane::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
  e->accept();
  if (key == Qt::Key_Escape && selecting_) {
    selecting_ = false;
    core_.Buffer().ClearSelection();
    PaintChanged();
    UpdateHeartbeat();
    return;
  }
  if ((key == Qt::Key_C || key == Qt::Key_Insert) && mods == Qt::ControlModifier &&
      core_.Buffer().HasSelection()) {
    CopyToClipboard();
    return;
  }
  if (key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Meta)
    return;
  if ((key == Qt::Key_V && mods == Qt::ControlModifier) ||
      (key == Qt::Key_Insert && mods == Qt::ShiftModifier)) {
    std::string text;
    for (QChar c : QGuiApplication::clipboard()->text())
      if (const uint8_t b = UnicodeToAnsi(c.unicode())) text.push_back(char(b));
    if (pasteToScreen_) WriteString(text);
    if (pasteToPort_)
      for (char c : text) SendToPort(uint8_t(c));
    return;
  }
  char ch = 0;
  switch (key) {
    case Qt::Key_Backspace:
      ch = 8;
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      ch = 13;
      break;
    case Qt::Key_Tab:
      ch = 9;
      break;
    case Qt::Key_Escape:
      ch = 27;
      break;
    default: {
      const QString text = e->text();
      if (text.size() == 1) ch = char(UnicodeToAnsi(text[0].unicode()));
    }
  }
  if (ch == 0) {
    // Keys other than characters go to the emulator (this one ignores them); they
    // never scroll the view.
    uint32_t code = uint32_t(key);
    core_.Emulator().KeyDown(code);
    return;
  }
  HandleKey(ch);
}

void TCustomTerminalPane::HandleKey(char ch) {
  if (OnKeyPress) OnKeyPress(this, ch);
  if (ch == 0) return;
  core_.Emulator().KeyPress(static_cast<uint8_t>(ch));
  if (!useLazyDisplay_) PaintChanged();
}

void TCustomTerminalPane::mousePressEvent(QMouseEvent* e) {
  if (!mouseSelect_ || e->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(e);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  core_.Buffer().ClearSelection();
  lastMouse_ = e->position().toPoint();
  geo_.CellAt(lastMouse_.x(), lastMouse_.y(), anchorRow_, anchorCol_);
  selecting_ = true;
  PaintChanged();
}

void TCustomTerminalPane::mouseMoveEvent(QMouseEvent* e) {
  if (!selecting_) return;
  lastMouse_ = e->position().toPoint();
  SelectTo(lastMouse_);
  UpdateHeartbeat();
}

void TCustomTerminalPane::mouseReleaseEvent(QMouseEvent* e) {
  if (!selecting_ || e->button() != Qt::LeftButton) return;
  selecting_ = false;
  UpdateHeartbeat();
  if (autoCopy_ && core_.Buffer().HasSelection()) CopyToClipboard();
}

void TCustomTerminalPane::SelectTo(const QPoint& pos) {
  TTerminalBuffer& b = core_.Buffer();
  int row = 0, col = 0;
  geo_.CellAt(pos.x(), pos.y(), row, col);
  row = std::clamp(row, 1 - b.HistoryRowCount(), b.RowCount());
  col = std::clamp(col, 1, b.ColCount());
  b.Select(anchorRow_, anchorCol_, row, col);
  PaintChanged();
}

void TCustomTerminalPane::CopyToClipboard() {
  const std::string text = core_.Buffer().SelectionText();
  if (text.empty()) return;
  const std::u16string shown = AnsiToUnicode(text);
  QGuiApplication::clipboard()->setText(QString::fromUtf16(shown.data(), qsizetype(shown.size())));
}

// ================================================================ properties

void TCustomTerminalPane::SetBlinkTime(int ms) {
  blinkTime_ = ms <= 0 ? 0 : std::max(ms, 250);
  UpdateHeartbeat();
}

void TCustomTerminalPane::SetUseLazyDisplay(bool on) {
  useLazyDisplay_ = on;
  UpdateHeartbeat();
}

void TCustomTerminalPane::SetBorderStyle(TBorderStyle style) {
  borderStyle_ = style;
  if (style == bsSingle) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
  } else {
    setFrameStyle(QFrame::NoFrame);
  }
}

void TCustomTerminalPane::SetColumns(int n) {
  core_.Buffer().tbSetColCount(n);
  tmCalcExtent();
  PaintAll();
}

void TCustomTerminalPane::SetRows(int n) {
  core_.Buffer().tbSetRowCount(n);
  tmCalcExtent();
  PaintAll();
}

void TCustomTerminalPane::SetScrollbackRows(int n) {
  core_.Buffer().tbSetSVRowCount(n);
  tmCalcExtent();
  PaintAll();
}

void TCustomTerminalPane::SetScrollback(bool on) {
  if (on == scrollback_) return;
  scrollback_ = on;
  if (!on && geo_.originRow < 1) geo_.originRow = 1;
  tmCalcExtent();
  PaintAll();
}

void TCustomTerminalPane::SetFreezeScrollBack(bool on) {
  if (on == freezeScrollBack_) return;
  freezeScrollBack_ = on;
  // Frozen again: the view goes back to the origin row.
  if (on && geo_.rowShift != 0) {
    tmCalcExtent();
    PaintAll();
  }
}

void TCustomTerminalPane::SetHideScrollbars(bool on) {
  hideScrollbars_ = on;
  tmCalcExtent();
}

void TCustomTerminalPane::SetLazyByteDelay(int bytes) {
  if (bytes >= 1 && bytes <= 1024) lazyByteDelay_ = bytes;
}

void TCustomTerminalPane::SetLazyTimeDelay(int ms) {
  if (ms >= 1 && ms <= 1000) lazyTimeDelay_ = ms;
}

void TCustomTerminalPane::SetCursorType(TCursorType type) {
  cursorType_ = type;
  UpdateCaret();
  UpdateCaretBlink();
}

void TCustomTerminalPane::SetEmulator(TTerminalEmulator* emulator) {
  core_.Buffer().SetCursorMovedHandler(nullptr);
  core_.SetEmulator(emulator);
  core_.Buffer().SetCursorMovedHandler([this](int, int) { CursorMoved(); });
  tmCalcExtent();
  PaintAll();
  UpdateHeartbeat();
}

void TCustomTerminalPane::SetColor(TColor c) {
  color_ = c;
  // The emulator recolours the cells that used the old default at its next paint.
  PaintAll();
}

void TCustomTerminalPane::SetFontColor(TColor c) {
  fontColor_ = c;
  PaintAll();
}

void TCustomTerminalPane::SetFont(const QFont& font) {
  font_ = font;
  tmLoad();
}

void TCustomTerminalPane::SetFocus() {
  // Refused silently when the window cannot take the focus now.
  if (isVisible() && isEnabled()) setFocus(Qt::OtherFocusReason);
}

TerminalFont TCustomTerminalPane::GetFont() const {
  TerminalFont t = FromQFont(font_);
  return t;
}

void TCustomTerminalPane::SetFont(const TerminalFont& font) {
  SetFont(ToQFont(font));
}

}  // namespace zarnik
