// TTerminalGeometry: where the buffer's cells fall in the pane. Cells are cellWidth x
// cellHeight pixels; the cell at the top-left corner shows buffer column originCol and
// screen row TopRow() (both 1 at start; rows as the buffer numbers them, so a view
// scrolled into the history has TopRow() <= 0). TopRow() is the origin row, which
// follows the cursor, plus rowShift: the rows the vertical bar has moved the view
// beyond the origin row when the pane does not freeze its scrollback (0 otherwise). Calc is the
// pane's extent calculation, redone whenever the font, the client size, the origin or the buffer's
// size changes; the pane turns its results into scroll bars and margins.
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

  // Moves the origin by the least amount that brings the cursor cell into the fully
  // visible columns and rows; dCols and dRows report the change in whole cells.
  // Returns whether the origin moved. Calc must have run.
  bool FollowCursor(int cursorRow, int cursorCol, int columns, int& dCols, int& dRows);

  // Top-left pixel of the caret; false when that point lies outside the client area.
  bool CaretPos(int cursorRow, int cursorCol, int clientWidth, int clientHeight, int& x,
                int& y) const;
  // The cell under a pixel (may lie beyond the buffer; callers clamp).
  void CellAt(int x, int y, int& row, int& col) const;
  // The cells the text rectangle shows.
  TPaintArea VisibleArea() const;

  // Horizontal bar: range 0 .. columns - 1, page fullCols, position originCol - 1.
  int HBarPosition() const { return originCol - 1; }
};

}  // namespace zarnik
