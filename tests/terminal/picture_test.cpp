// Bytes in, picture out: a painter that keeps a picture of the cells it was given
// (and moves it on a scroll, as the pane's canvas does) must end up showing exactly
// the rows of its view, however the bytes arrive between paints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/terminal_emulator.h"
#include "terminal/terminal_geometry.h"

namespace zarnik {
namespace {

// The picture of a view: one string per shown row. A moved picture leaves '?' in
// the rows it uncovers, so a row the emulator forgets to draw shows up.
class PicturePainter : public TTerminalPainter {
 public:
  PicturePainter(const TPaintArea& area, bool canMove)
      : area_(area),
        canMove_(canMove),
        rows_(static_cast<size_t>(area.lastRow - area.firstRow + 1),
              std::string(static_cast<size_t>(area.lastCol - area.firstCol + 1), '?')) {}

  void DrawRun(const TPaintRun& run) override {
    drawing_ = true;
    std::string& row = rows_.at(static_cast<size_t>(run.row - area_.firstRow));
    row.replace(static_cast<size_t>(run.column - area_.firstCol), run.text.size(), run.text);
  }
  bool ScrollUp(int rows) override {
    EXPECT_FALSE(drawing_) << "moved after drawing";
    if (!canMove_) return false;
    rows_.erase(rows_.begin(), rows_.begin() + rows);
    rows_.resize(rows_.size() + static_cast<size_t>(rows), std::string(rows_[0].size(), '?'));
    ++moves;
    return true;
  }
  void EndPaint() { drawing_ = false; }
  const std::vector<std::string>& Rows() const { return rows_; }
  int moves = 0;

 private:
  TPaintArea area_;
  bool canMove_;
  bool drawing_ = false;
  std::vector<std::string> rows_;
};

std::vector<std::string> Expected(const TTerminalBuffer& b, const TPaintArea& area) {
  std::vector<std::string> rows;
  for (int r = area.firstRow; r <= area.lastRow; ++r) {
    rows.push_back(b.RowText(r).substr(static_cast<size_t>(area.firstCol - 1),
                                       static_cast<size_t>(area.lastCol - area.firstCol + 1)));
  }
  return rows;
}

std::string Lines(int first, int last) {
  std::string s;
  for (int i = first; i <= last; ++i) s += "line " + std::to_string(i) + "\r\n";
  return s;
}

struct PictureCase {
  const char* name;
  std::vector<std::string> chunks;  // one paint after each
  TPaintArea area;
  bool canMove = true;
  bool expectMoves = true;
};

class PictureTest : public testing::TestWithParam<PictureCase> {};

TEST_P(PictureTest, ThePictureShowsTheRowsOfTheView) {
  const PictureCase& c = GetParam();
  TTTYEmulator emu;
  emu.Buffer().tbSetRowCount(16);
  PicturePainter painter(c.area, c.canMove);
  emu.Paint(painter, c.area);
  painter.EndPaint();
  for (const std::string& chunk : c.chunks) {
    emu.ProcessText(chunk, csPort);
    emu.LazyPaint(painter, c.area);
    painter.EndPaint();
    ASSERT_EQ(painter.Rows(), Expected(emu.Buffer(), c.area)) << "after " << chunk;
  }
  EXPECT_EQ(painter.moves > 0, c.expectMoves);
}

const TPaintArea kScreen{1, 16, 1, 80};

INSTANTIATE_TEST_SUITE_P(
    Chunks, PictureTest,
    testing::Values(
        PictureCase{"OneLinePerPaint", {Lines(1, 20), "a", "b\r\n", "c\r\n", "d"}, kScreen},
        PictureCase{
            "SeveralScrollsPerPaint", {Lines(1, 17), Lines(18, 22), Lines(23, 30)}, kScreen},
        PictureCase{"MoreScrollsThanShownRows", {Lines(1, 5), Lines(6, 40)}, kScreen, true, false},
        PictureCase{
            "ScrollsThenWritesOnTheBottomRow", {Lines(1, 16), "\r\n\x08xyz", "\tq\r\nw"}, kScreen},
        // A partly shown screen: rows 7-16, columns 11-70.
        PictureCase{"PartOfTheScreen",
                    {Lines(1, 18), "tail of a line\r\n", Lines(19, 21)},
                    TPaintArea{7, 16, 11, 70}},
        // A view shifted into the history moves with the rows below it.
        PictureCase{
            "ViewIntoTheHistory", {Lines(1, 30), Lines(31, 33), "x"}, TPaintArea{-4, 11, 1, 80}},
        // The top screen row changes and scrolls away before its paint: a view showing
        // the history needs it drawn, so everything is drawn anew.
        PictureCase{"ChangeScrolledAwayUnpainted",
                    {"top", "\rTOP" + Lines(1, 16)},
                    TPaintArea{-2, 13, 1, 80},
                    true,
                    false},
        PictureCase{"PainterThatCannotMove", {Lines(1, 20), Lines(21, 23)}, kScreen, false, false}),
    [](const testing::TestParamInfo<PictureCase>& info) { return std::string(info.param.name); });

TEST(Picture, ScrollMovesTheDirtySpansWithTheirRows) {
  TTerminalBuffer b(200, 80, 16);
  for (int i = 0; i < 15; ++i) b.DoLineFeed();
  b.GetInvalidRect();
  b.WriteString("abc");  // row 16, columns 1-3
  b.DoLineFeed();
  b.DoLineFeed();
  EXPECT_EQ(b.ScrolledRows(), 2);
  EXPECT_FALSE(b.RepaintAll());
  int first = 0, last = 0;
  ASSERT_TRUE(b.DirtySpan(14, first, last));  // "abc" has moved up two rows
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 3);
  EXPECT_FALSE(b.DirtySpan(13, first, last));
  for (int row : {15, 16}) {  // the rows the scrolls brought in are all changed
    ASSERT_TRUE(b.DirtySpan(row, first, last)) << row;
    EXPECT_EQ(first, 1);
    EXPECT_EQ(last, 80);
  }
  b.GetInvalidRect();
  EXPECT_EQ(b.ScrolledRows(), 0);
  EXPECT_FALSE(b.DisplayChanged());
}

// With the vertical bar's shift the view starts above the origin row: the painted
// rows, the caret and the cells under the pointer all move with it.
TEST(Picture, ShiftedViewMovesRowsCaretAndCells) {
  TTerminalGeometry g;
  g.cellWidth = 7;
  g.cellHeight = 14;
  g.originRow = 2;
  g.rowShift = -5;
  g.Calc(493, 140, 80, 16, true);  // 10 rows shown
  EXPECT_EQ(g.TopRow(), -3);
  const TPaintArea area = g.VisibleArea();
  EXPECT_EQ(area.firstRow, -3);
  EXPECT_EQ(area.lastRow, 6);
  int x = 0, y = 0;
  EXPECT_TRUE(g.CaretPos(1, 1, 493, 140, x, y));
  EXPECT_EQ(y, 4 * 14);
  EXPECT_FALSE(g.CaretPos(7, 1, 493, 140, x, y));  // below the shifted view
  int row = 0, col = 0;
  g.CellAt(0, 0, row, col);
  EXPECT_EQ(row, -3);
}

}  // namespace
}  // namespace zarnik
