// Emulators turn received bytes into screen-buffer operations and paint the buffer.
//
// TTerminalEmulator is the base: it owns a screen buffer and refers to its pane
// through TTerminalSite; its operations do nothing unless an emulator overrides them.
// TTTYEmulator, the plain teletype, prints codes 32-255 and acts on five control
// codes (7 bell, 8 backspace, 9 tab, 10 line feed, 13 carriage return); every other
// code is dropped. There are no escape sequences.
//
// Painting is toolkit-free: the emulator splits rows into runs of cells that look the
// same, applies the attribute rules (reverse or selected swaps the colours, bold
// brightens the foreground, invisible draws it in the background colour) and hands
// each run to a TTerminalPainter, which only places text at cells.
//
// Threading: window thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/terminal_buffer.h"
#include "terminal/terminal_types.h"

namespace zarnik {

// What an emulator asks of its pane.
class TTerminalSite {
 public:
  virtual ~TTerminalSite() = default;
  virtual TColor Color() const = 0;  // the pane's background
  virtual TColor FontColor() const = 0;
  virtual bool HalfDuplex() const = 0;
  // Writes a typed character to the port when one is assigned and open; drops it otherwise.
  virtual void SendToPort(uint8_t ch) = 0;
  virtual void Bell() = 0;  // the platform's asterisk sound
};

// One run of equal-looking cells, colours already resolved. Rows are screen-relative
// (row 1 is the first screen row, 0 and below history), columns 1-based.
struct TPaintRun {
  int row;
  int column;
  std::string_view text;  // one byte per cell; each cell advances exactly one cell width
  TColor fore;
  TColor back;
  bool underline;
  bool strikethrough;
};

class TTerminalPainter {
 public:
  virtual ~TTerminalPainter() = default;
  virtual void DrawRun(const TPaintRun& run) = 0;
  // Moves everything drawn so far up by rows cell rows (the buffer scrolled), before
  // any run is drawn. A painter that cannot answers false and gets every cell anew.
  virtual bool ScrollUp(int /*rows*/) { return false; }
};

// The rows and columns the pane shows (1-based, inclusive, rows screen-relative).
struct TPaintArea {
  int firstRow = 1;
  int lastRow = 0;
  int firstCol = 1;
  int lastCol = 0;
};

class TTerminalEmulator {
 public:
  TTerminalEmulator() = default;
  virtual ~TTerminalEmulator() = default;
  TTerminalEmulator(const TTerminalEmulator&) = delete;
  TTerminalEmulator& operator=(const TTerminalEmulator&) = delete;

  TTerminalBuffer& Buffer() { return buffer_; }
  const TTerminalBuffer& Buffer() const { return buffer_; }
  TTerminalSite* Terminal() const { return site_; }

  // The buffer has changes to paint or the cursor moved.
  virtual bool teGetNeedsUpdate();
  virtual void teSetTerminal(TTerminalSite* site) { site_ = site; }
  virtual void teClear() {}
  virtual void teClearAll() {}
  virtual void teSendChar(uint8_t ch);
  virtual void BlinkPaint(TTerminalPainter&, const TPaintArea&, bool /*phase*/) {}
  virtual bool HasBlinkingText() const { return false; }
  // key: a virtual key code; set to 0 to consume the key.
  virtual void KeyDown(uint32_t& /*key*/) {}
  virtual void KeyPress(uint8_t /*ch*/) {}
  // Paints the changed cells inside area.
  virtual void LazyPaint(TTerminalPainter&, const TPaintArea&) {}
  // Paints every cell inside area.
  virtual void Paint(TTerminalPainter&, const TPaintArea&) {}
  virtual void ProcessBlock(const uint8_t* /*data*/, size_t /*n*/, TCharSource /*source*/) {}

 protected:
  TTerminalBuffer buffer_;
  TTerminalSite* site_ = nullptr;
};

// Called for each received byte before it is handled; may add commands to run first
// and change the text to print (which starts as the byte itself).
using TProcessCharHandler = std::function<void(
    uint8_t ch, TCharSource source, std::vector<TEmuCommand>& commands, std::string& text)>;

class TTTYEmulator : public TTerminalEmulator {
 public:
  TTTYEmulator() = default;

  bool teGetNeedsUpdate() override;
  void teClear() override { buffer_.EraseScreen(); }
  void teClearAll() override { buffer_.EraseAll(); }
  // Backspace goes out as DEL (127); echoed into the pane too with half duplex.
  void KeyPress(uint8_t ch) override;
  void LazyPaint(TTerminalPainter& painter, const TPaintArea& area) override;
  void Paint(TTerminalPainter& painter, const TPaintArea& area) override;
  void ProcessBlock(const uint8_t* data, size_t n, TCharSource source) override;
  void ProcessText(std::string_view text, TCharSource source) {
    ProcessBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size(), source);
  }

  void SetOnProcessChar(TProcessCharHandler handler) { onProcessChar_ = std::move(handler); }

 private:
  void Execute(TEmuCommand command);
  void HandleChar(uint8_t ch);
  void SyncColors();
  void PaintRow(TTerminalPainter& painter, int row, int firstCol, int lastCol);

  bool forceFullRepaint_ = false;
  TProcessCharHandler onProcessChar_;
  std::vector<TEmuCommand> commands_;
};

}  // namespace zarnik
