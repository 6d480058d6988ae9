#include "terminal/terminal_geometry.h"

#include <algorithm>

namespace zarnik {

namespace {
int CeilDiv(int a, int b) {
  return (a + b - 1) / b;
}
}  // namespace

void TTerminalGeometry::Calc(int clientWidth, int clientHeight, int columns, int rows,
                             bool scrollback) {
  clientWidth = std::max(clientWidth, 0);
  clientHeight = std::max(clientHeight, 0);
  clientWidth_ = clientWidth;
  clientHeight_ = clientHeight;
  columns_ = columns;
  rows_ = rows;
  scrollback_ = scrollback;
  cellWidth = std::max(cellWidth, 1);
  cellHeight = std::max(cellHeight, 1);
  int colsLeft = std::max(columns - originCol + 1, 0);
  int rowsLeft = std::max(rows - TopRow() + 1, 0);
  visibleCols = std::min(CeilDiv(clientWidth, cellWidth), colsLeft);
  fullCols = std::min(clientWidth / cellWidth, colsLeft);
  visibleRows = std::min(CeilDiv(clientHeight, cellHeight), rowsLeft);
  fullRows = std::min(clientHeight / cellHeight, rowsLeft);
  int textRight = std::min(visibleCols * cellWidth, clientWidth);
  int textBottom = std::min(visibleRows * cellHeight, clientHeight);
  textRect = TPixelRect{0, 0, textRight, textBottom};
  rightMargin = TPixelRect{textRight, 0, clientWidth, clientHeight};
  bottomMargin = TPixelRect{0, textBottom, textRight, clientHeight};
  hBarNeeded = fullCols < columns;
  vBarNeeded = fullRows < rows || scrollback;
}

bool TTerminalGeometry::FollowCursor(int cursorRow, int cursorCol, int columns, int& dCols,
                                     int& dRows) {
  int col = originCol;
  if (cursorCol < col) col = cursorCol;
  if (fullCols > 0 && cursorCol > col + fullCols - 1) col = cursorCol - fullCols + 1;
  col = std::clamp(col, 1, std::max(columns - fullCols + 1, 1));
  int row = originRow;
  if (cursorRow < row) row = cursorRow;
  if (fullRows > 0 && cursorRow > row + fullRows - 1) row = cursorRow - fullRows + 1;
  dCols = col - originCol;
  dRows = row - originRow;
  originCol = col;
  originRow = row;
  if (dCols == 0 && dRows == 0) return false;
  Recalc();
  return true;
}

int TTerminalGeometry::CanvasWidth() const {
  return std::max(visibleCols * cellWidth, 1);
}

int TTerminalGeometry::CanvasHeight() const {
  return std::max(visibleRows * cellHeight, 1);
}

void TTerminalGeometry::ScrollTo(int hValue, int topRow, bool freeze) {
  originCol = hValue + 1;
  if (freeze) {
    originRow = topRow;
    rowShift = 0;
  } else {
    rowShift = topRow - originRow;
  }
  Recalc();
}

void TTerminalGeometry::ClampRowShift(bool freeze, int historyRows) {
  int shift = 0;
  if (!freeze) {
    const int highest = std::max(rows_ - clientHeight_ / cellHeight + 1, 1);
    shift = std::clamp(TopRow(), VBarMin(historyRows), highest) - originRow;
  }
  if (shift == rowShift) return;
  rowShift = shift;
  Recalc();
}

bool TTerminalGeometry::HBarShown(bool hideScrollbars, int cursorCol) const {
  if (!hBarNeeded || !hideScrollbars) return hBarNeeded;
  return cursorCol < originCol || cursorCol > originCol + fullCols - 1;
}

bool TTerminalGeometry::VBarShown(bool hideScrollbars, int cursorRow) const {
  if (!vBarNeeded || !hideScrollbars) return vBarNeeded;
  return cursorRow < originRow || cursorRow > originRow + fullRows - 1;
}

int TTerminalGeometry::VBarMax() const {
  return std::max(rows_ - fullRows + 1, 1);
}

int TTerminalGeometry::HBarMax() const {
  return std::max(columns_ - fullCols, 0);
}

bool TTerminalGeometry::CaretPos(int cursorRow, int cursorCol, int clientWidth, int clientHeight,
                                 int& x, int& y) const {
  x = (cursorCol - originCol) * cellWidth;
  y = (cursorRow - TopRow()) * cellHeight;
  return x >= 0 && y >= 0 && x < clientWidth && y < clientHeight;
}

void TTerminalGeometry::CellAt(int x, int y, int& row, int& col) const {
  auto floorDiv = [](int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
  col = floorDiv(x, cellWidth) + originCol;
  row = floorDiv(y, cellHeight) + TopRow();
}

TPaintArea TTerminalGeometry::VisibleArea() const {
  return TPaintArea{TopRow(), TopRow() + visibleRows - 1, originCol, originCol + visibleCols - 1};
}

}  // namespace zarnik
