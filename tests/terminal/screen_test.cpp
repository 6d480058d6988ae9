// Bytes in, screen out: what the plain teletype leaves on a 16-row pane screen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/terminal_emulator.h"

namespace zarnik {
namespace {

std::string Trimmed(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// The screen rows, trailing blanks and trailing blank rows dropped.
std::vector<std::string> Screen(const TTerminalBuffer& b) {
  std::vector<std::string> rows;
  for (int r = 1; r <= b.RowCount(); ++r) rows.push_back(Trimmed(b.RowText(r)));
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

std::string Repeat(char c, int n) {
  return std::string(static_cast<size_t>(n), c);
}
std::string Digits(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + i % 10);
  return s;
}
std::string Lines(int first, int last) {
  std::string s;
  for (int i = first; i <= last; ++i) s += "L" + std::to_string(i) + (i < last ? "\r\n" : "");
  return s;
}
std::vector<std::string> LineRows(int first, int last) {
  std::vector<std::string> v;
  for (int i = first; i <= last; ++i) v.push_back("L" + std::to_string(i));
  return v;
}
std::string DroppedCodes() {
  std::string s;
  for (int c = 0; c < 32; ++c) {
    if (c != 7 && c != 8 && c != 9 && c != 10 && c != 13) s += static_cast<char>(c);
  }
  return s;
}

struct ScreenCase {
  const char* name;
  std::string in;
  std::vector<std::string> screen;
  int row;
  int col;
  bool wrapPending = false;
};

class ScreenTest : public testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenTest, BytesLeaveThisScreen) {
  const ScreenCase& c = GetParam();
  TTTYEmulator emu;
  emu.Buffer().tbSetRowCount(16);
  emu.ProcessText(c.in, csPort);
  EXPECT_EQ(Screen(emu.Buffer()), c.screen);
  EXPECT_EQ(emu.Buffer().CursorRow(), c.row);
  EXPECT_EQ(emu.Buffer().CursorCol(), c.col);
  EXPECT_EQ(emu.Buffer().WrapPending(), c.wrapPending);
}

const std::string k80 = Digits(80);

INSTANTIATE_TEST_SUITE_P(
    Teletype, ScreenTest,
    testing::Values(
        ScreenCase{"CrLf", "AB\r\nC", {"AB", "C"}, 2, 2},
        ScreenCase{"Column80WrapsLater", k80, {k80}, 1, 80, true},
        ScreenCase{"Char81WrapsToNextRow", k80 + "x", {k80, "x"}, 2, 2},
        ScreenCase{"Wrap160", Digits(160), {k80, k80}, 2, 80, true},
        ScreenCase{"Full80ThenCrLfNoBlankRow", k80 + "\r\nZ", {k80, "Z"}, 2, 2},
        ScreenCase{"CrCancelsPendingWrap", k80 + "\rQ", {"Q" + k80.substr(1)}, 1, 2},
        ScreenCase{"LfCancelsPendingWrapKeepsColumn",
                   k80 + "\nQ",
                   {k80, Repeat(' ', 79) + "Q"},
                   2,
                   80,
                   true},
        ScreenCase{"BackspaceCancelsPendingWrap", k80 + "\bQ", {k80.substr(0, 78) + "Q9"}, 1, 80},
        ScreenCase{"TabFromColumn1", "\tX", {Repeat(' ', 8) + "X"}, 1, 10},
        ScreenCase{"TwoTabs", "\t\tX", {Repeat(' ', 16) + "X"}, 1, 18},
        ScreenCase{"TabFromColumn8", Repeat('a', 7) + "\tX", {Repeat('a', 7) + " X"}, 1, 10},
        ScreenCase{"TabFromColumn73",
                   Repeat('a', 72) + "\tX",
                   {Repeat('a', 72) + "       X"},
                   1,
                   80,
                   true},
        ScreenCase{"TabFromColumn76", Repeat('a', 75) + "\t", {Repeat('a', 75)}, 1, 80},
        ScreenCase{"TabAtColumn80StaysPut", Repeat('a', 79) + "\t\t", {Repeat('a', 79)}, 1, 80},
        ScreenCase{"BackspaceAtColumn1", "\b\bX", {"X"}, 1, 2},
        ScreenCase{"BackspaceNeverErases", "AB\b", {"AB"}, 1, 2},
        ScreenCase{"BackspaceThenOverwrite", "AB\bC", {"AC"}, 1, 3},
        ScreenCase{"ControlCodesDropped", "A" + DroppedCodes() + "B", {"AB"}, 1, 3},
        ScreenCase{"NulDropped", std::string("A\0B", 3), {"AB"}, 1, 3},
        ScreenCase{"BellLeavesNoTrace", "A\aB", {"AB"}, 1, 3},
        ScreenCase{"HighCodesPrintable", "\x80\x9b\xff", {"\x80\x9b\xff"}, 1, 4},
        ScreenCase{"DelPrintable", "\x7f", {"\x7f"}, 1, 2},
        ScreenCase{"LfAloneKeepsColumn", "AB\nC", {"AB", "  C"}, 2, 4},
        ScreenCase{"LfOnBottomRowScrolls", Lines(1, 17), LineRows(2, 17), 16, 4},
        ScreenCase{"WrapOnBottomRowScrolls",
                   Repeat('\n', 15) + k80 + "x",
                   {"", "", "", "", "", "", "", "", "", "", "", "", "", "", k80, "x"},
                   16,
                   2}),
    [](const testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

TEST(ScreenHistory, LineFeedOnBottomRowFeedsHistory) {
  TTTYEmulator emu;
  TTerminalBuffer& b = emu.Buffer();
  b.tbSetRowCount(16);
  emu.ProcessText(Lines(1, 18), csPort);
  EXPECT_EQ(Trimmed(b.RowText(0)), "L2");  // newest history row: the former top screen row
  EXPECT_EQ(Trimmed(b.RowText(-1)), "L1");
  EXPECT_EQ(Trimmed(b.RowText(1)), "L3");
}

TEST(ScreenHistory, OldestHistoryRowIsLost) {
  TTTYEmulator emu;
  TTerminalBuffer& b = emu.Buffer();
  b.tbSetRowCount(16);
  emu.ProcessText(Lines(1, 201), csPort);  // 200 rows hold L2 .. L201
  int oldest = 1 - b.HistoryRowCount();
  EXPECT_EQ(Trimmed(b.RowText(oldest)), "L2");
  EXPECT_EQ(Trimmed(b.RowText(16)), "L201");
  EXPECT_EQ(b.RowChars(oldest - 1), nullptr);
}

}  // namespace
}  // namespace zarnik
