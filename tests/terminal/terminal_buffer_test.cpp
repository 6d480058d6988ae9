#include "terminal/terminal_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/virtual_host.h"

namespace zarnik {
namespace {

constexpr TColor kRed = 0x0000FF;

TTerminalBuffer PaneBuffer() {
  TTerminalBuffer b;
  b.tbSetRowCount(16);
  return b;
}

TEST(BufferCreation, DefaultsOfANewBuffer) {
  TTerminalBuffer b;
  EXPECT_EQ(b.TotalRowCount(), 200);
  EXPECT_EQ(b.ColCount(), 80);
  EXPECT_EQ(b.RowCount(), 24);
  EXPECT_EQ(b.CursorRow(), 1);
  EXPECT_EQ(b.CursorCol(), 1);
  EXPECT_EQ(b.RowFore(1)[0], clSilver);
  EXPECT_EQ(b.RowBack(1)[0], clBlack);
  EXPECT_EQ(b.RowChars(1)[0], ' ');
  EXPECT_EQ(b.GetInvalidRect(), (TTermRect{1, 1, 24, 80}));
  for (int col = 1; col <= 80; ++col) EXPECT_EQ(b.TabStop(col), col % 8 == 1) << col;
}

TEST(BufferColours, DefaultBackgroundChangeRecoloursOldDefaultOnly) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("A");
  b.SetBackColor(kRed);
  b.WriteString("B");
  b.tbSetDefBackColor(clBlue);
  EXPECT_EQ(b.RowBack(1)[0], clBlue);    // written before the change, in the old default
  EXPECT_EQ(b.RowBack(1)[1], kRed);      // another colour stays
  EXPECT_EQ(b.RowBack(1)[2], clBlue);    // blank cells too
  EXPECT_EQ(b.RowBack(-50)[0], clBlue);  // and history
  EXPECT_EQ(b.DefBackColor(), clBlue);
  b.EraseAll();  // cleared cells take the new default
  EXPECT_EQ(b.RowBack(1)[1], clBlue);
}

TEST(BufferColours, DefaultForegroundChangeLeavesBackgroundsAlone) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("A");
  b.tbSetDefForeColor(kRed);
  EXPECT_EQ(b.RowFore(1)[0], kRed);
  EXPECT_EQ(b.RowBack(1)[0], clBlack);
  EXPECT_EQ(b.ForeColor(), clSilver);  // the current colour is the caller's business
}

TEST(BufferErase, EraseAllClearsHistoryAndHomesCursor) {
  TTerminalBuffer b = PaneBuffer();
  for (int i = 0; i < 40; ++i) {
    b.WriteString("line");
    b.DoCarriageReturn();
    b.DoLineFeed();
  }
  b.WriteString("tail");
  b.GetInvalidRect();
  b.EraseAll();
  for (int row = 1 - b.HistoryRowCount(); row <= b.RowCount(); ++row) {
    ASSERT_EQ(b.RowText(row), std::string(80, ' ')) << row;
  }
  EXPECT_EQ(b.CursorRow(), 1);
  EXPECT_EQ(b.CursorCol(), 1);
  EXPECT_FALSE(b.WrapPending());
  EXPECT_EQ(b.GetInvalidRect(), (TTermRect{1, 1, 16, 80}));
}

TEST(BufferErase, EraseScreenKeepsHistory) {
  TTerminalBuffer b = PaneBuffer();
  for (int i = 0; i < 20; ++i) {
    b.WriteString("x");
    b.DoLineFeed();
  }
  b.EraseScreen();
  EXPECT_NE(b.RowText(0), std::string(80, ' '));
  for (int row = 1; row <= 16; ++row) EXPECT_EQ(b.RowText(row), std::string(80, ' '));
  EXPECT_EQ(b.CursorRow(), 1);
}

struct RowCountCase {
  int n;
  int rowsAfter;
  bool throws;
};

class RowCountTest : public testing::TestWithParam<RowCountCase> {};

TEST_P(RowCountTest, AcceptsIgnoresOrRefuses) {
  const RowCountCase& c = GetParam();
  TTerminalBuffer b;  // 24 screen rows of 200
  b.WriteString("keep");
  if (c.throws) {
    try {
      b.tbSetRowCount(c.n);
      FAIL() << "no exception for " << c.n;
    } catch (const ETerminalError& e) {
      EXPECT_STREQ(e.what(), "TTerminalBuffer.tbSetRowCount: new count too small");
    }
  } else {
    b.tbSetRowCount(c.n);
  }
  EXPECT_EQ(b.RowCount(), c.rowsAfter);
  EXPECT_EQ(b.TotalRowCount(), 200);
  if (c.rowsAfter == 24) {
    EXPECT_EQ(b.RowText(1).substr(0, 4), "keep");  // unchanged
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, RowCountTest,
                         testing::Values(RowCountCase{16, 16, false}, RowCountCase{2, 2, false},
                                         RowCountCase{200, 200, false},
                                         RowCountCase{24, 24, false},   // same: ignored
                                         RowCountCase{201, 24, false},  // above total: ignored
                                         RowCountCase{1, 24, true}, RowCountCase{0, 24, true},
                                         RowCountCase{-3, 24, true}));

TEST(BufferRows, FewerScreenRowsMoveACursorAboveThemDown) {
  TTerminalBuffer b;  // cursor on screen row 1 of 24
  b.WriteString("ab");
  b.tbSetRowCount(16);
  EXPECT_EQ(b.CursorRow(), 1);
  EXPECT_EQ(b.CursorCol(), 3);
  EXPECT_EQ(b.RowText(-7).substr(0, 2), "ab");  // the old first screen row is history now
}

TEST(BufferRows, ATotalRowChangeKeepsTheScreen) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("top");
  b.DoLineFeed();
  b.tbSetSVRowCount(100);
  EXPECT_EQ(b.TotalRowCount(), 100);
  EXPECT_EQ(b.RowText(1).substr(0, 3), "top");
  EXPECT_EQ(b.CursorRow(), 2);
  b.tbSetSVRowCount(300);
  EXPECT_EQ(b.RowText(1).substr(0, 3), "top");
  EXPECT_EQ(b.HistoryRowCount(), 284);
  b.tbSetSVRowCount(10);  // fewer than the screen: ignored
  EXPECT_EQ(b.TotalRowCount(), 300);
}

TEST(BufferModes, InsertModeShiftsTheRowAndDropsItsLastCell) {
  TTerminalBuffer b = PaneBuffer();
  std::string row(79, 'a');
  b.WriteString(row + "z");
  b.DoCarriageReturn();
  b.SetInsertMode(true);
  b.WriteString("XY");
  EXPECT_EQ(b.RowText(1), "XY" + std::string(78, 'a'));
  EXPECT_EQ(b.CursorCol(), 3);
}

TEST(BufferModes, NewLineModeMakesLineFeedReturn) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("ab");
  b.DoLineFeed();
  EXPECT_EQ(b.CursorCol(), 3);
  b.SetNewLineMode(true);
  b.DoLineFeed();
  EXPECT_EQ(b.CursorRow(), 3);
  EXPECT_EQ(b.CursorCol(), 1);
}

TEST(BufferModes, WithoutWrapDelayTheCursorWrapsAtOnce) {
  TTerminalBuffer b = PaneBuffer();
  b.SetAutoWrapDelay(false);
  b.WriteString(std::string(80, 'a'));
  EXPECT_EQ(b.CursorRow(), 2);
  EXPECT_EQ(b.CursorCol(), 1);
  EXPECT_FALSE(b.WrapPending());
}

TEST(BufferModes, WithoutAutoWrapTheLastColumnIsOverwritten) {
  TTerminalBuffer b = PaneBuffer();
  b.SetAutoWrap(false);
  b.WriteString(std::string(79, 'a') + "xyz");
  EXPECT_EQ(b.RowText(1), std::string(79, 'a') + "z");
  EXPECT_EQ(b.CursorRow(), 1);
}

TEST(BufferTabs, StopsAreSetAndClearedPerColumn) {
  TTerminalBuffer b = PaneBuffer();
  b.ClearAllTabStops();
  b.SetTabStop(5, true);
  b.DoHorzTab();
  EXPECT_EQ(b.CursorCol(), 5);
  b.DoHorzTab();
  EXPECT_EQ(b.CursorCol(), 80);
}

// ---- Invalid area and its notice ----

struct Counter : MessageTarget {
  int updates = 0;
  intptr_t HandleMessage(uint32_t msg, uintptr_t, intptr_t) override {
    if (msg == kMsgTermNeedsUpdate) ++updates;
    return 0;
  }
};

TEST(BufferInvalid, WrittenCellsAreTheInvalidArea) {
  TTerminalBuffer b = PaneBuffer();
  b.GetInvalidRect();
  b.WriteString("abc");
  b.DoCarriageReturn();
  b.DoLineFeed();
  b.DoLineFeed();
  b.DoHorzTab();
  b.WriteString("z");
  int first = 0, last = 0;
  ASSERT_TRUE(b.DirtySpan(1, first, last));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 3);
  EXPECT_FALSE(b.DirtySpan(2, first, last));
  ASSERT_TRUE(b.DirtySpan(3, first, last));
  EXPECT_EQ(first, 9);
  EXPECT_EQ(last, 9);
  EXPECT_EQ(b.GetInvalidRect(), (TTermRect{1, 1, 3, 9}));
  EXPECT_TRUE(b.GetInvalidRect().Empty());  // reading empties it
  EXPECT_FALSE(b.DirtySpan(1, first, last));
}

TEST(BufferInvalid, ScrollMakesTheScreenInvalid) {
  TTerminalBuffer b = PaneBuffer();
  for (int i = 0; i < 15; ++i) b.DoLineFeed();
  b.GetInvalidRect();
  EXPECT_FALSE(b.DisplayChanged());
  b.DoLineFeed();
  EXPECT_TRUE(b.DisplayChanged());
  EXPECT_EQ(b.GetInvalidRect(), (TTermRect{1, 1, 16, 80}));
}

TEST(BufferInvalid, OneNoticeUntilThePainterCatchesUp) {
  VirtualHost host;
  Counter pane;
  host.AddTarget(&pane);
  TTerminalBuffer b = PaneBuffer();
  b.GetInvalidRect();
  b.ResetCursorMoved();
  b.RegisterTerminalHandle(&host, &pane);
  for (int i = 0; i < 1000; ++i) {
    b.WriteString("hello");
    b.DoCarriageReturn();
    b.DoLineFeed();
  }
  host.ProcessMessages();
  EXPECT_EQ(pane.updates, 1);
  b.GetInvalidRect();
  b.ResetCursorMoved();
  b.DoBackspace();  // at column 1: nothing moved, nothing changed
  host.ProcessMessages();
  EXPECT_EQ(pane.updates, 1);
  b.WriteString("x");
  b.WriteString("y");
  host.ProcessMessages();
  EXPECT_EQ(pane.updates, 2);
  b.GetInvalidRect();
  b.ResetCursorMoved();
  b.DoBackspace();  // a cursor move alone is news too
  host.ProcessMessages();
  EXPECT_EQ(pane.updates, 3);
  b.GetInvalidRect();
  b.ResetCursorMoved();
  b.DeregisterTerminalHandle();
  b.GetInvalidRect();
  b.WriteString("y");
  host.ProcessMessages();
  EXPECT_EQ(pane.updates, 3);
  host.RemoveTarget(&pane);
}

TEST(BufferCursor, MovedHandlerSeesEachMoveOnce) {
  TTerminalBuffer b = PaneBuffer();
  std::vector<std::pair<int, int>> moves;
  b.SetCursorMovedHandler([&](int row, int col) { moves.emplace_back(row, col); });
  b.WriteString("abc");  // one run, one report
  b.DoCarriageReturn();
  b.DoBackspace();  // at column 1: no move
  b.DoLineFeed();
  EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 4}, {1, 1}, {2, 1}}));
  EXPECT_TRUE(b.CursorMoved());
  b.ResetCursorMoved();
  EXPECT_FALSE(b.CursorMoved());
}

TEST(BufferCursor, SetCursorPosStaysOnTheScreen) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString(std::string(80, 'a'));
  b.SetCursorPos(0, 90);
  EXPECT_EQ(b.CursorRow(), 1);
  EXPECT_EQ(b.CursorCol(), 80);
  EXPECT_FALSE(b.WrapPending());
  b.SetCursorPos(17, 0);
  EXPECT_EQ(b.CursorRow(), 16);
  EXPECT_EQ(b.CursorCol(), 1);
}

// ---- Selection ----

TEST(BufferSelection, CopiesWholeRowsEachEndedByCrLf) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("first");
  b.DoCarriageReturn();
  b.DoLineFeed();
  b.WriteString("second");
  b.DoCarriageReturn();
  b.DoLineFeed();
  b.WriteString("third");
  b.Select(3, 2, 2, 4);  // backwards drag
  auto pad = [](std::string s) { return s + std::string(80 - s.size(), ' ') + "\r\n"; };
  EXPECT_EQ(b.SelectionText(), pad("second") + pad("third"));
  EXPECT_TRUE(b.RowAttrs(2)[3] & tcaSelected);
  EXPECT_FALSE(b.RowAttrs(2)[2] & tcaSelected);
  EXPECT_TRUE(b.RowAttrs(2)[79] & tcaSelected);
  EXPECT_TRUE(b.RowAttrs(3)[1] & tcaSelected);
  EXPECT_FALSE(b.RowAttrs(3)[2] & tcaSelected);
  b.ClearSelection();
  EXPECT_FALSE(b.HasSelection());
  EXPECT_EQ(b.SelectionText(), "");
  EXPECT_FALSE(b.RowAttrs(2)[79] & tcaSelected);
}

TEST(BufferSelection, SelectionMovesWithScrolledRows) {
  TTerminalBuffer b = PaneBuffer();
  b.WriteString("keep me");
  b.Select(1, 1, 1, 4);
  for (int i = 0; i < 20; ++i) b.DoLineFeed();
  EXPECT_EQ(b.SelectionText().substr(0, 7), "keep me");
}

}  // namespace
}  // namespace zarnik
