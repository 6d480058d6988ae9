// TTerminalBuffer: the characters and colours the terminal pane shows, the cursor,
// the tab stops and the modes that decide how a written character moves the cursor.
//
// The row space holds TotalRowCount() rows (200): the last RowCount() rows are the
// screen, the rows above it the history, which a line feed on the bottom row feeds.
// Five parallel TTerminalArray hold each cell's character, character set, attributes
// and colours. Rows are numbered for callers 1-based and relative to the screen:
// row 1 is the first screen row, row 0 the newest history row, 1 - HistoryRowCount()
// the oldest. Columns are 1-based.
//
// Changes are marked, not painted: every written cell and every scroll is added to
// the invalid area (a dirty column span per screen row and their bounding rectangle),
// which the painter reads and empties. A scroll makes the whole screen invalid, but
// the buffer also counts the rows scrolled and moves the dirty spans up with their
// rows, so a painter that can move what it drew paints only the rows that changed. The first change
// after the painter has caught up posts one 0x7E8A to the registered window; later changes ride on
// that message until the painter reads the area, so a fast stream never floods the window queue.
//
// Threading: window thread only. The only thing another thread touches on the pane's
// side is the byte queue (byte_queue.h).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/terminal_array.h"
#include "terminal/terminal_types.h"

namespace zarnik {

class Host;
class MessageTarget;

// The buffer's refusals ("TTerminalBuffer.tbSetRowCount: new count too small").
class ETerminalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Screen rows and columns, 1-based, inclusive.
struct TTermRect {
  int top = 0;
  int left = 0;
  int bottom = -1;
  int right = -1;
  bool Empty() const { return bottom < top || right < left; }
  bool operator==(const TTermRect&) const = default;
};

class TTerminalBuffer {
 public:
  static constexpr int kTotalRows = 200;
  static constexpr int kColumns = 80;
  static constexpr int kScreenRows = 24;

  TTerminalBuffer(int totalRows = kTotalRows, int columns = kColumns, int screenRows = kScreenRows);

  // ---- Writing at the cursor ----
  // Every byte is stored as a character; control codes are the emulator's business.
  void WriteChar(uint8_t ch);
  void WriteString(std::string_view text);
  void DoCarriageReturn();
  void DoLineFeed();
  void DoBackspace();
  void DoHorzTab();
  // Every row, history included, back to the default cells; cursor to row 1, column 1.
  void EraseAll();
  // The screen rows only; cursor to row 1, column 1.
  void EraseScreen();

  // ---- Values written with each character, and those of cleared cells ----
  void SetForeColor(TColor c) { fore_ = c; }
  void SetBackColor(TColor c) { back_ = c; }
  void SetAttributes(TTerminalCharAttrs a) { attrs_ = a; }
  void SetCharSet(uint8_t s) { charSet_ = s; }
  TColor ForeColor() const { return fore_; }
  TColor BackColor() const { return back_; }
  TTerminalCharAttrs Attributes() const { return attrs_; }
  uint8_t CharSet() const { return charSet_; }
  // Every cell holding the old default colour takes the new one, then the new one
  // becomes the default.
  void tbSetDefForeColor(TColor c);
  void tbSetDefBackColor(TColor c);
  TColor DefForeColor() const { return foreArr_.DefaultItem(); }
  TColor DefBackColor() const { return backArr_.DefaultItem(); }

  // ---- Modes ----
  void SetAutoWrap(bool on) { autoWrap_ = on; }
  void SetAutoWrapDelay(bool on) { autoWrapDelay_ = on; }
  void SetInsertMode(bool on) { insertMode_ = on; }
  void SetNewLineMode(bool on) { newLineMode_ = on; }
  bool AutoWrap() const { return autoWrap_; }
  bool AutoWrapDelay() const { return autoWrapDelay_; }
  bool InsertMode() const { return insertMode_; }
  bool NewLineMode() const { return newLineMode_; }
  // The cursor stands on the last column after a write; the next character wraps first.
  bool WrapPending() const { return wrapPending_; }

  // ---- Horizontal tab stops, one flag per column (1, 9, 17, ... 73 at creation) ----
  bool TabStop(int col) const;
  void SetTabStop(int col, bool on);
  void ClearAllTabStops();

  // ---- Geometry ----
  // Screen rows: a count equal to the current one or above the total is ignored, one
  // below 2 throws ETerminalError and leaves the buffer as it was.
  void tbSetRowCount(int n);
  void tbSetColCount(int n);
  // Total rows, history included; the screen keeps its rows, the history gains or
  // loses its oldest rows. A count below the screen's is ignored.
  void tbSetSVRowCount(int n);
  int RowCount() const { return screenRows_; }
  int ColCount() const { return cols_; }
  int TotalRowCount() const { return totalRows_; }
  int HistoryRowCount() const { return totalRows_ - screenRows_; }

  // ---- Cursor (1-based, screen-relative) ----
  int CursorRow() const { return cursorRow_ - firstScreenRow_ + 1; }
  int CursorCol() const { return cursorCol_ + 1; }
  // Clamped to the screen; cancels a pending wrap.
  void SetCursorPos(int row, int col);
  bool CursorMoved() const { return cursorMoved_; }
  void ResetCursorMoved();
  // Called with the new row and column after the cursor has moved (once per written run).
  void SetCursorMovedHandler(std::function<void(int row, int col)> handler) {
    onCursorMoved_ = std::move(handler);
  }

  // ---- Cells, for the painter and for tests (row as described above; no row: nullptr) ----
  const uint8_t* RowChars(int row) const { return ValidRow(row) ? chars_.Row(Abs(row)) : nullptr; }
  const uint8_t* RowCharSets(int row) const {
    return ValidRow(row) ? sets_.Row(Abs(row)) : nullptr;
  }
  const TTerminalCharAttrs* RowAttrs(int row) const {
    return ValidRow(row) ? attrArr_.Row(Abs(row)) : nullptr;
  }
  const TColor* RowFore(int row) const { return ValidRow(row) ? foreArr_.Row(Abs(row)) : nullptr; }
  const TColor* RowBack(int row) const { return ValidRow(row) ? backArr_.Row(Abs(row)) : nullptr; }
  std::string RowText(int row) const;
  // Splits columns first..last of a row into runs of equal foreground, background and
  // attributes: fn(column, chars, count, fore, back, attrs).
  template <typename Fn>
  void ForEachRun(int row, int first, int last, Fn&& fn) const;

  // ---- Invalid area (screen rows only) ----
  bool HasInvalid() const { return !bounds_.Empty(); }
  const TTermRect& InvalidBounds() const { return bounds_; }  // without emptying
  // The changed columns of a screen row; false when it is unchanged.
  bool DirtySpan(int row, int& first, int& last) const;
  // The bounding rectangle of every change since the last read; empties the area.
  TTermRect GetInvalidRect();
  // Something besides screen cells changed (a scroll, history rows, the defaults): a
  // painter showing more than the screen's changed cells should repaint all it shows.
  bool DisplayChanged() const { return repaintAll_ || scrolled_ > 0; }
  // Rows the whole row space moved up since the last read. The dirty spans have moved
  // with their rows: a painter that moves what it drew up by this many rows need only
  // draw the dirty spans and the rows it uncovered.
  int ScrolledRows() const { return scrolled_; }
  // A change a moved picture cannot follow (history rows, the defaults, the size):
  // everything shown has to be drawn anew.
  bool RepaintAll() const { return repaintAll_; }

  // The window told of changes (0x7E8A); nullptr host or window: nobody.
  void RegisterTerminalHandle(Host* host, MessageTarget* window);
  void DeregisterTerminalHandle() { RegisterTerminalHandle(nullptr, nullptr); }

  // ---- Selection: marked cells, drawn reversed ----
  // Marks every cell from one cell to the other in reading order (either may come
  // first) and unmarks the rest.
  void Select(int fromRow, int fromCol, int toRow, int toCol);
  void ClearSelection();
  bool HasSelection() const { return hasSelection_; }
  // Every row holding a selected cell, whole, each ended by CR LF; empty without a selection.
  std::string SelectionText() const;

 private:
  int Abs(int row) const { return firstScreenRow_ + row - 1; }
  bool ValidRow(int row) const { return Abs(row) >= 0 && Abs(row) < totalRows_; }
  int BottomRow() const { return totalRows_ - 1; }

  void WriteRun(const uint8_t* p, size_t n);
  void WriteOne(uint8_t ch);
  void StoreCells(const uint8_t* p, int n);
  void MoveRightWithWrap();
  void ScrollUp();
  void ClearCells(int firstRow, int count);

  void MoveCursor(int absRow, int col);
  void FireCursorMoved();
  void Invalidate(int absRow, int firstCol, int lastCol);
  void InvalidateScreen();
  void Notify();

  int totalRows_;
  int cols_;
  int screenRows_;
  int firstScreenRow_;

  TTerminalArray<uint8_t> chars_;
  TTerminalArray<uint8_t> sets_;
  TTerminalArray<TTerminalCharAttrs> attrArr_;
  TTerminalArray<TColor> foreArr_;
  TTerminalArray<TColor> backArr_;

  int cursorRow_;  // 0-based in the row space
  int cursorCol_ = 0;
  bool cursorMoved_ = false;
  bool moveToReport_ = false;  // moved during the current operation, handler not yet called

  uint8_t charSet_ = 0;
  TTerminalCharAttrs attrs_ = 0;
  TColor fore_ = clSilver;
  TColor back_ = clBlack;

  bool autoWrap_ = true;
  bool autoWrapDelay_ = true;
  bool insertMode_ = false;
  bool newLineMode_ = false;
  bool wrapPending_ = false;

  std::vector<bool> tabStops_;

  struct Span {
    int first;
    int last;
  };
  std::vector<Span> dirty_;  // per screen row, 0-based columns; first > last: clean
  TTermRect bounds_;
  bool repaintAll_ = true;
  int scrolled_ = 0;

  bool hasSelection_ = false;

  Host* host_ = nullptr;
  MessageTarget* window_ = nullptr;
  bool updatePosted_ = false;  // a 0x7E8A is on its way and the painter has not caught up
  std::function<void(int, int)> onCursorMoved_;
};

template <typename Fn>
void TTerminalBuffer::ForEachRun(int row, int first, int last, Fn&& fn) const {
  if (!ValidRow(row)) return;
  first = std::max(first, 1) - 1;
  last = std::min(last, cols_) - 1;
  const uint8_t* ch = RowChars(row);
  const TTerminalCharAttrs* at = RowAttrs(row);
  const TColor* fg = RowFore(row);
  const TColor* bg = RowBack(row);
  int c = first;
  while (c <= last) {
    int end = c + 1;
    while (end <= last && at[end] == at[c] && fg[end] == fg[c] && bg[end] == bg[c]) ++end;
    fn(c + 1, ch + c, end - c, fg[c], bg[c], at[c]);
    c = end;
  }
}

}  // namespace zarnik
