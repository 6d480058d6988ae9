#include "terminal/terminal_geometry.h"

#include <gtest/gtest.h>

namespace zarnik {
namespace {

struct ExtentCase {
  const char* name;
  int clientW, clientH, cellW, cellH, originCol, originRow;
  bool scrollback;
  int visibleCols, fullCols, visibleRows, fullRows;
  bool hBar, vBar;
  TPixelRect text;
};

class ExtentTest : public testing::TestWithParam<ExtentCase> {};

TEST_P(ExtentTest, CountsRectanglesAndBars) {
  const ExtentCase& c = GetParam();
  TTerminalGeometry g;
  g.cellWidth = c.cellW;
  g.cellHeight = c.cellH;
  g.originCol = c.originCol;
  g.originRow = c.originRow;
  g.Calc(c.clientW, c.clientH, 80, 16, c.scrollback);
  EXPECT_EQ(g.visibleCols, c.visibleCols);
  EXPECT_EQ(g.fullCols, c.fullCols);
  EXPECT_EQ(g.visibleRows, c.visibleRows);
  EXPECT_EQ(g.fullRows, c.fullRows);
  EXPECT_EQ(g.hBarNeeded, c.hBar);
  EXPECT_EQ(g.vBarNeeded, c.vBar);
  EXPECT_EQ(g.textRect, c.text);
  EXPECT_EQ(g.rightMargin, (TPixelRect{c.text.right, 0, c.clientW, c.clientH}));
  EXPECT_EQ(g.bottomMargin, (TPixelRect{0, c.text.bottom, c.text.right, c.clientH}));
}

INSTANTIATE_TEST_SUITE_P(
    Panes, ExtentTest,
    testing::Values(
        // The main window's pane: 80 columns do not fit, 16 rows do.
        ExtentCase{"MainWindow",
                   493,
                   269,
                   7,
                   14,
                   1,
                   1,
                   false,
                   71,
                   70,
                   16,
                   16,
                   true,
                   false,
                   {0, 0, 493, 224}},
        ExtentCase{
            "Roomy", 800, 400, 8, 16, 1, 1, false, 80, 80, 16, 16, false, false, {0, 0, 640, 256}},
        ExtentCase{"Scrollback",
                   800,
                   400,
                   8,
                   16,
                   1,
                   1,
                   true,
                   80,
                   80,
                   16,
                   16,
                   false,
                   true,
                   {0, 0, 640, 256}},
        ExtentCase{
            "Short", 800, 100, 8, 16, 1, 1, false, 80, 80, 7, 6, false, true, {0, 0, 640, 100}},
        ExtentCase{"ScrolledRight",
                   493,
                   269,
                   7,
                   14,
                   11,
                   1,
                   false,
                   70,
                   70,
                   16,
                   16,
                   true,
                   false,
                   {0, 0, 490, 224}},
        ExtentCase{"Empty", 0, 0, 7, 14, 1, 1, false, 0, 0, 0, 0, true, true, {0, 0, 0, 0}}),
    [](const testing::TestParamInfo<ExtentCase>& info) { return std::string(info.param.name); });

TEST(Geometry, FollowCursorMovesTheOriginByTheLeastAmount) {
  TTerminalGeometry g;
  g.cellWidth = 7;
  g.cellHeight = 14;
  g.Calc(493, 269, 80, 16, false);  // 70 full columns
  int dCols = 0, dRows = 0;
  EXPECT_FALSE(g.FollowCursor(16, 70, 80, dCols, dRows));
  EXPECT_TRUE(g.FollowCursor(16, 72, 80, dCols, dRows));
  EXPECT_EQ(g.originCol, 3);
  EXPECT_EQ(dCols, 2);
  g.Calc(493, 269, 80, 16, false);
  EXPECT_TRUE(g.FollowCursor(2, 80, 80, dCols, dRows));
  EXPECT_EQ(g.originCol, 11);  // never past columns - full columns + 1
  EXPECT_TRUE(g.FollowCursor(2, 1, 80, dCols, dRows));
  EXPECT_EQ(g.originCol, 1);
  EXPECT_EQ(dCols, -10);
  EXPECT_EQ(dRows, 0);
}

// Every move of the origin redoes the extent: the partly visible column comes and
// goes with it, and the canvas with it.
TEST(Geometry, OriginMovesRecalculateTheExtent) {
  TTerminalGeometry g;
  g.cellWidth = 7;
  g.cellHeight = 14;
  g.Calc(493, 269, 80, 16, false);
  EXPECT_EQ(g.visibleCols, 71);
  EXPECT_EQ(g.CanvasWidth(), 497);
  int dCols = 0, dRows = 0;
  ASSERT_TRUE(g.FollowCursor(1, 80, 80, dCols, dRows));
  EXPECT_EQ(g.visibleCols, 70);
  EXPECT_EQ(g.CanvasWidth(), 490);
  EXPECT_EQ(g.textRect.right, 490);
  ASSERT_TRUE(g.FollowCursor(1, 1, 80, dCols, dRows));
  EXPECT_EQ(g.visibleCols, 71);
  EXPECT_EQ(g.CanvasWidth(), 497);
  EXPECT_EQ(g.textRect.right, 493);
  g.ScrollTo(10, 1, true);
  EXPECT_EQ(g.originCol, 11);
  EXPECT_EQ(g.visibleCols, 70);
}

// The vertical bar's reach, and a shifted view kept inside it.
TEST(Geometry, BarsAndTheRowShift) {
  TTerminalGeometry g;
  g.cellWidth = 7;
  g.cellHeight = 14;
  g.Calc(493, 100, 80, 16, true);  // 7 full rows of 16, with 184 history rows
  EXPECT_EQ(g.VBarMin(184), -183);
  EXPECT_EQ(g.VBarMax(), 10);
  EXPECT_EQ(g.HBarMax(), 10);
  g.ScrollTo(0, -500, false);
  g.ClampRowShift(false, 184);
  EXPECT_EQ(g.TopRow(), -183);
  g.ClampRowShift(true, 184);
  EXPECT_EQ(g.TopRow(), g.originRow);
  // Hidden bars show only while the cursor lies beyond the fully visible cells.
  EXPECT_TRUE(g.HBarShown(false, 1));
  EXPECT_FALSE(g.HBarShown(true, 70));
  EXPECT_TRUE(g.HBarShown(true, 71));
  EXPECT_FALSE(g.VBarShown(true, 7));
  EXPECT_TRUE(g.VBarShown(true, 8));
}

TEST(Geometry, CaretAndCellsFollowTheOrigin) {
  TTerminalGeometry g;
  g.cellWidth = 7;
  g.cellHeight = 14;
  g.originCol = 11;
  int x = 0, y = 0;
  EXPECT_TRUE(g.CaretPos(2, 12, 493, 269, x, y));
  EXPECT_EQ(x, 7);
  EXPECT_EQ(y, 14);
  EXPECT_FALSE(g.CaretPos(2, 5, 493, 269, x, y));  // scrolled out to the left
  int row = 0, col = 0;
  g.CellAt(15, 29, row, col);
  EXPECT_EQ(row, 3);
  EXPECT_EQ(col, 13);
  g.CellAt(-1, -1, row, col);  // above and left of the pane: the cells just outside
  EXPECT_EQ(row, 0);
  EXPECT_EQ(col, 10);
}

}  // namespace
}  // namespace zarnik
