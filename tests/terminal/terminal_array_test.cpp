#include "terminal/terminal_array.h"

#include <gtest/gtest.h>

#include <string>

namespace zarnik {
namespace {

// Rows as strings, one character per item.
std::string Rows(const TTerminalArray<char>& a) {
  std::string s;
  for (int r = 0; r < a.RowCount(); ++r) {
    s.append(a.Row(r), static_cast<size_t>(a.ColCount()));
    if (r + 1 < a.RowCount()) s += '|';
  }
  return s;
}

TTerminalArray<char> Lettered(int rows) {
  TTerminalArray<char> a('.', 3, rows);
  for (int r = 0; r < rows; ++r) a.Fill(r, 0, 3, static_cast<char>('a' + r));
  return a;
}

struct ScrollCase {
  int first, last, n;
  const char* after;
};

class ArrayScrollTest : public testing::TestWithParam<ScrollCase> {};

TEST_P(ArrayScrollTest, RowsMoveAndFreedRowsClear) {
  const ScrollCase& c = GetParam();
  auto a = Lettered(5);
  a.Scroll(c.first, c.last, c.n);
  EXPECT_EQ(Rows(a), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ArrayScrollTest,
    testing::Values(ScrollCase{0, 4, 1, "bbb|ccc|ddd|eee|..."},  // whole space: ring
                    ScrollCase{0, 4, 2, "ccc|ddd|eee|...|..."},
                    ScrollCase{0, 4, -1, "...|aaa|bbb|ccc|ddd"},
                    ScrollCase{1, 3, 1, "aaa|ccc|ddd|...|eee"},  // part: rotated indices
                    ScrollCase{1, 3, -2, "aaa|...|...|bbb|eee"},
                    ScrollCase{1, 3, 3, "aaa|...|...|...|eee"},  // all of the range freed
                    ScrollCase{2, 2, 0, "aaa|bbb|ccc|ddd|eee"}));

TEST(TerminalArray, RingScrollsCompose) {
  auto a = Lettered(4);
  for (int i = 0; i < 6; ++i) {
    a.Scroll(0, 3, 1);
    a.Fill(3, 0, 3, static_cast<char>('e' + i));
  }
  EXPECT_EQ(Rows(a), "ggg|hhh|iii|jjj");
  a.Scroll(1, 2, 1);  // a part after the ring has turned
  EXPECT_EQ(Rows(a), "ggg|iii|...|jjj");
}

TEST(TerminalArray, InsertDeleteReplaceWithinRow) {
  TTerminalArray<char> a('.', 5, 1);
  a.Write(0, 0, "abcde", 5);
  a.Insert(0, 1, 2);
  EXPECT_EQ(Rows(a), "a..bc");
  a.Delete(0, 0, 2);
  EXPECT_EQ(Rows(a), ".bc..");
  a.Replace('.', '_');
  EXPECT_EQ(Rows(a), "_bc__");
  a.Write(0, 3, "xyz", 3);  // clipped at the row's end
  EXPECT_EQ(Rows(a), "_bcxy");
}

TEST(TerminalArray, ResizingKeepsRowsInOrder) {
  auto a = Lettered(3);
  a.Scroll(0, 2, 1);  // ring turned: logical order must survive the rebuild
  a.SetRowCount(4);
  EXPECT_EQ(Rows(a), "bbb|ccc|...|...");
  a.SetColCount(2);
  EXPECT_EQ(Rows(a), "bb|cc|..|..");
  a.SetColCount(4);
  EXPECT_EQ(Rows(a), "bb..|cc..|....|....");
}

}  // namespace
}  // namespace zarnik
