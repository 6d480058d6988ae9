// TCustomTerminalPane / TTerminalPane: the character window that shows what the unit
// sends and forwards what the operator types. A thin Qt shell over TTerminalCore
// (queue, capture, emulator, buffer) and TTerminalGeometry (cells, origin, bars).
//
// How it works:
//   - Attaching. The pane is a message target of the port's Host and a consumer of
//     its port (RegisterUserEx): 0x7E08 (opened) re-attaches when an attach is
//     pending, 0x7E09/0x7E0A (closed / about to close) detach, 0x7E89 is the attach
//     step, which registers the pane's data handler with the port's dispatcher.
//   - Received bytes. The data handler runs on the dispatcher thread: for a
//     data-available notice it reads the announced block straight into the byte
//     queue and posts 0x7E47. It never paints. On 0x7E47 the window thread hands the
//     queued bytes to the emulator and, unless lazy display is on, paints what
//     changed at the next frame of the screen (so a fast line is painted once per
//     refresh, not once per block).
//   - Painting. The emulator hands runs of equal-looking cells; each run is drawn as
//     glyphs placed at exact cell positions into the pane's canvas (an image of the
//     text area, whole cells), and only the changed rectangle is pushed to the screen.
//     A scroll moves the canvas up and draws the uncovered rows only. A paint event
//     copies the canvas, fills the margins and draws the caret, which blinks at the
//     platform's cursor flash time while the pane has the focus.
//   - Scroll bars come and go with the geometry's needs (0x7E4D); the view follows
//     the cursor. Without FreezeScrollBack the vertical bar shifts the painted rows
//     beyond the origin row, and the shift stays as the cursor moves.
//   - Timers run only while they have work: the heartbeat while a selection is pulled
//     beyond the pane, lazy display has something to paint or text blinks; the frame
//     timer while changes wait; the caret timer while a caret is shown.
//
// Threading: window thread only, except the data handler (dispatcher thread), which
// touches nothing but the byte queue and the Host's Post.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QRawFont>
#include <QTimer>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host.h"
#include "platform/shell_view.h"
#include "terminal/terminal_core.h"
#include "terminal/terminal_geometry.h"

namespace zarnik {

class TCustomComPort;
class TBaseDispatcher;

enum TBorderStyle { bsNone, bsSingle };

// What the pane did, for the benchmark and the tests.
struct TPaneCounters {
  uint64_t blocks = 0;          // 0x7E47 notices that found bytes
  uint64_t bytes = 0;           // bytes handed to the emulator
  uint64_t paints = 0;          // paints into the canvas
  uint64_t fullPaints = 0;      // of them, paints of every visible cell
  uint64_t canvasScrolls = 0;   // pictures moved up instead of drawn anew
  uint64_t maxShowDelayMs = 0;  // longest wait of a received block for its paint
};

// Fired with each typed character before the emulator sees it; may change it or set
// it to 0 to swallow it.
using TKeyPressEvent = std::function<void(QObject* sender, char& key)>;
using TCursorMovedEvent = std::function<void(QObject* sender, int row, int col)>;

class TCustomTerminalPane : public QAbstractScrollArea,
                            public MessageTarget,
                            public TerminalView,
                            private TTerminalSite {
 public:
  static constexpr int kHeartbeatMs = 100;

  TCustomTerminalPane(Host& host, QWidget* parent = nullptr);
  ~TCustomTerminalPane() override;

  // ---- Operations ----
  void ClearAll();  // the whole buffer, history included; cursor to row 1, column 1
  void Clear();     // the screen rows only
  void WriteChar(char ch);
  void WriteString(std::string_view text);
  // Copies the selection (whole rows, each ended by CR LF) to the clipboard.
  void CopyToClipboard();

  // ---- Properties ----
  bool Active() const { return active_; }
  void SetActive(bool on);
  bool AutoCopy() const { return autoCopy_; }
  void SetAutoCopy(bool on) { autoCopy_ = on; }
  bool AutoScrollback() const { return autoScrollback_; }
  void SetAutoScrollback(bool on) { autoScrollback_ = on; }
  int BlinkTime() const { return blinkTime_; }
  void SetBlinkTime(int ms);
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  TCaptureMode Capture() { return core_.Capture().Mode(); }
  void SetCapture(TCaptureMode mode) { core_.Capture().SetMode(mode); }
  std::string CaptureFile() { return core_.Capture().FileName(); }
  void SetCaptureFile(const std::string& name) { core_.Capture().SetFileName(name); }
  int Columns() { return core_.Buffer().ColCount(); }
  void SetColumns(int n);
  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* port);
  TCursorType CursorType() const { return cursorType_; }
  void SetCursorType(TCursorType type);
  // nullptr while the built-in emulator is in use.
  TTerminalEmulator* Emulator() const { return core_.ExternalEmulator(); }
  void SetEmulator(TTerminalEmulator* emulator);
  bool FollowCursor() const { return followCursor_; }
  void SetFollowCursor(bool on) { followCursor_ = on; }
  bool FreezeScrollBack() const { return freezeScrollBack_; }
  void SetFreezeScrollBack(bool on);
  bool HalfDuplex() const override { return halfDuplex_; }
  void SetHalfDuplex(bool on) { halfDuplex_ = on; }
  bool HideScrollbars() const { return hideScrollbars_; }
  void SetHideScrollbars(bool on);
  int LazyByteDelay() const { return lazyByteDelay_; }
  void SetLazyByteDelay(int bytes);
  int LazyTimeDelay() const { return lazyTimeDelay_; }
  void SetLazyTimeDelay(int ms);
  bool MouseSelect() const { return mouseSelect_; }
  void SetMouseSelect(bool on) { mouseSelect_ = on; }
  bool PasteToPort() const { return pasteToPort_; }
  void SetPasteToPort(bool on) { pasteToPort_ = on; }
  bool PasteToScreen() const { return pasteToScreen_; }
  void SetPasteToScreen(bool on) { pasteToScreen_ = on; }
  int Rows() { return core_.Buffer().RowCount(); }
  void SetRows(int n);
  bool Scrollback() const { return scrollback_; }
  void SetScrollback(bool on);
  int ScrollbackRows() { return core_.Buffer().TotalRowCount(); }
  void SetScrollbackRows(int n);
  bool UseLazyDisplay() const { return useLazyDisplay_; }
  void SetUseLazyDisplay(bool on);
  bool WantAllKeys() const { return wantAllKeys_; }
  void SetWantAllKeys(bool on) { wantAllKeys_ = on; }
  TKeyPressEvent OnKeyPress;
  TCursorMovedEvent OnCursorMoved;

  // Inherited control properties: background, font and its colour.
  TColor Color() const override { return color_; }
  void SetColor(TColor c);
  TColor FontColor() const override { return fontColor_; }
  void SetFontColor(TColor c);
  QFont Font() const { return font_; }
  void SetFont(const QFont& font);
  // The font as drawn: the family the font system resolved the given one to (a
  // name such as "Courier New" may exist only as a substitution).
  QFont DrawnFont() const;

  // ---- TerminalView (the main window's menus and start-up) ----
  void SetFocus() override;
  void SetVisible(bool visible) override { setVisible(visible); }
  void SetBackgroundColour(uint32_t colour) override { SetColor(colour); }
  void SetTextColour(uint32_t colour) override { SetFontColor(colour); }
  TerminalFont GetFont() const override;
  void SetFont(const TerminalFont& font) override;

  // ---- What tests and the screenshot program look at ----
  TTerminalBuffer& Buffer() { return core_.Buffer(); }
  const TTerminalGeometry& Geometry() const { return geo_; }
  quint32 GlyphOf(uint8_t byte) const { return glyphs_[byte]; }
  const QRawFont& RawFont() const { return rawFont_; }
  bool HandlerRegistered() const { return handlerRegistered_; }
  bool AttachPending() const { return attachPending_; }
  bool Selecting() const { return selecting_; }
  const TPaneCounters& Counters() const { return counters_; }
  bool HeartbeatRunning() const { return heartbeat_.isActive(); }
  bool FramePending() const { return frame_.isActive(); }
  bool CaretBlinking() const { return caretBlink_.isActive(); }
  // The caret is in its visible phase (it is drawn when the pane also has a caret).
  bool CaretOn() const { return caretOn_; }

  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  bool event(QEvent* e) override;

 private:
  class CanvasPainter;

  // TTerminalSite
  void SendToPort(uint8_t ch) override;
  void Bell() override;

  // Attaching.
  void RequestAttach();
  void WmWaitForPort();
  void tmAttachToComPort();
  void tmDetachFromComPort();
  void DataHandler(TBaseDispatcher* dispatcher, uint32_t msg, uintptr_t wParam);

  // Received bytes and painting.
  void WmTermStuff(TCharSource source);
  void ScheduleFrame();  // PaintChanged at the next frame of the screen
  void PaintChanged();   // the changed cells into the canvas, then to the screen
  void PaintAll();       // every visible cell
  void Painted();        // bookkeeping after either
  void tmLoad();         // font metrics and geometry
  void tmCalcExtent();
  bool FitCanvas();  // true when the canvas took a new size (and is blank)
  void UpdateBars();
  void CursorMoved();
  QRect CaretRect() const;
  void UpdateCaret();
  void UpdateCaretBlink();
  void Heartbeat();
  void UpdateHeartbeat();  // runs the heartbeat only while it has work
  void HandleKey(char ch);
  void SelectTo(const QPoint& pos);

  Host& host_;
  TTerminalCore core_;
  TTerminalGeometry geo_;
  TCustomComPort* port_ = nullptr;
  // Counts the port's opens and closes; the handler is taken back from the
  // dispatcher only while the count is still the one it was registered under.
  uint64_t portGeneration_ = 0;
  uint64_t attachedGeneration_ = 0;
  QTimer heartbeat_;
  QTimer frame_;
  QTimer caretBlink_;
  QImage canvas_;
  QRawFont rawFont_;
  std::array<quint32, 256> glyphs_{};  // glyph of each byte (Windows-1252) in rawFont_
  int ascent_ = 0;
  bool originMoved_ = false;  // the view followed the cursor: repaint it all

  // Attachment.
  bool attachPending_ = false;
  bool handlerRegistered_ = false;
  bool attaching_ = false;

  // Properties.
  bool active_ = true;
  bool autoCopy_ = true;
  bool autoScrollback_ = true;
  int blinkTime_ = 500;
  TBorderStyle borderStyle_ = bsSingle;
  TCursorType cursorType_ = ctBlock;
  bool followCursor_ = true;
  bool freezeScrollBack_ = true;
  bool halfDuplex_ = false;
  bool hideScrollbars_ = false;
  int lazyByteDelay_ = 200;
  int lazyTimeDelay_ = 100;
  bool mouseSelect_ = true;
  bool pasteToPort_ = false;
  bool pasteToScreen_ = false;
  bool scrollback_ = false;
  bool useLazyDisplay_ = true;
  bool wantAllKeys_ = true;
  TColor color_ = clBlack;
  TColor fontColor_ = clSilver;
  QFont font_;

  // State.
  bool settingBars_ = false;
  bool selecting_ = false;
  int anchorRow_ = 0, anchorCol_ = 0;
  QPoint lastMouse_;
  QRect caretShown_;
  bool caretOn_ = true;
  int blinkCounter_ = 0;
  bool blinkPhase_ = false;
  int bytesSincePaint_ = 0;
  uint64_t lastPaintMs_ = 0;
  std::atomic<uint64_t> firstQueuedMs_{0};  // dispatcher thread: arrival of unprocessed bytes
  uint64_t unpaintedSinceMs_ = 0;           // arrival of the oldest bytes not yet painted
  TPaneCounters counters_;
};

// Publishes what TCustomTerminalPane holds.
class TTerminalPane : public TCustomTerminalPane {
 public:
  using TCustomTerminalPane::TCustomTerminalPane;
};

}  // namespace zarnik
