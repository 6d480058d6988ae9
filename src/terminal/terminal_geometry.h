// TTerminalGeometry: where the buffer's cells fall in the pane. Cells are cellWidth x
// cellHeight pixels; the cell at the top-left corner shows buffer column originCol and
// screen row TopRow() (both 1 at start; rows as the buffer numbers them, so a view
// scrolled into the history has TopRow() <= 0). TopRow() is the origin row, which
// follows the cursor, plus rowShift: the rows the vertical bar has moved the view
// beyond the origin row when the pane does not freeze its scrollback (0 otherwise).
// Calc is the pane's extent calculation, redone whenever the font, the client size or
// the buffer's size changes; every move of the origin (FollowCursor, ScrollTo,
// ClampRowShift) redoes it too, so the counts, the rectangles and the canvas size
// always belong to the origin in force. The pane turns the results into scroll bars,
// margins and its canvas, and paints what they say.
//
// Threading: window thread only.
#pragma once

#include "terminal/terminal_emulator.h"

namespace zarnik {

struct TPixelRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const TPixelRect&) const = default;
};

class TTerminalGeometry {
 public:
  int cellWidth = 1;
  int cellHeight = 1;
  int originCol = 1;
  int originRow = 1;
  int rowShift = 0;
  int TopRow() const { return originRow + rowShift; }

  // Results of Calc. Visible counts include a partly visible last column or row.
  int visibleCols = 0;
  int visibleRows = 0;
  int fullCols = 0;
  int fullRows = 0;
  TPixelRect textRect;
  TPixelRect rightMargin;   // right of the text, full client height
  TPixelRect bottomMargin;  // below the text, as wide as it
  bool hBarNeeded = false;
  bool vBarNeeded = false;

  void Calc(int clientWidth, int clientHeight, int columns, int rows, bool scrollback);
  // Calc again with the last client size, buffer size and scrollback.
  void Recalc() { Calc(clientWidth_, clientHeight_, columns_, rows_, scrollback_); }

  // The picture the pane paints into: whole cells, a partly visible last column and
  // row included, at least 1 x 1.
  int CanvasWidth() const;
  int CanvasHeight() const;

  // The bars moved the view: the horizontal bar's value gives the origin column; the
  // vertical bar's the top row, which is the origin row when frozen and otherwise
  // shifts the view beyond it.
  void ScrollTo(int hValue, int topRow, bool freeze);
  // Keeps a shifted view inside the rows the vertical bar reaches (no shift when frozen).
  void ClampRowShift(bool freeze, int historyRows);

  // Bars as shown: a needed bar, and with hideScrollbars only while the cursor lies
  // beyond the fully visible columns (rows).
  bool HBarShown(bool hideScrollbars, int cursorCol) const;
  bool VBarShown(bool hideScrollbars, int cursorRow) const;
  // Vertical bar: range VBarMin .. VBarMax, page fullRows, position TopRow().
  int VBarMin(int historyRows) const { return scrollback_ ? 1 - historyRows : 1; }
  int VBarMax() const;
  int HBarMax() const;

  // Moves the origin by the least amount that brings the cursor cell into the fully
  // visible columns and rows, and recalculates; dCols and dRows report the change in
  // whole cells. Returns whether the origin moved. Calc must have run.
  bool FollowCursor(int cursorRow, int cursorCol, int columns, int& dCols, int& dRows);

  // Top-left pixel of the caret; false when that point lies outside the client area.
  bool CaretPos(int cursorRow, int cursorCol, int clientWidth, int clientHeight, int& x,
                int& y) const;
  // The cell under a pixel (may lie beyond the buffer; callers clamp).
  void CellAt(int x, int y, int& row, int& col) const;
  // The cells the text rectangle shows.
  TPaintArea VisibleArea() const;

  // Horizontal bar: range 0 .. HBarMax, page fullCols, position originCol - 1.
  int HBarPosition() const { return originCol - 1; }

 private:
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  int columns_ = 80;
  int rows_ = 24;
  bool scrollback_ = false;
};

}  // namespace zarnik
