// FixedText: a text field that never writes past its size and refuses whole.
#include "platform/fixed_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zarnik {
namespace {

TEST(FixedText, HoldsUpToItsCapacityAndRefusesMoreWhole) {
  FixedText<5> t;  // four characters and the terminator
  EXPECT_TRUE(t.empty());
  EXPECT_TRUE(t.Assign("abcd"));
  EXPECT_EQ(t.view(), "abcd");
  EXPECT_FALSE(t.Assign("abcde"));
  EXPECT_EQ(t.view(), "abcd");  // unchanged, not cut
  EXPECT_TRUE(t.Assign(""));
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(t.c_str()[0], '\0');
}

TEST(FixedText, AppendingStopsAtTheCapacity) {
  FixedText<5> t;
  EXPECT_TRUE(t.Append("ab"));
  EXPECT_TRUE(t.Append("cd"));
  EXPECT_FALSE(t.Append("e"));
  EXPECT_EQ(t.str(), "abcd");
  EXPECT_EQ(t.size(), 4u);
  t.Clear();
  EXPECT_TRUE(t == "");
}

TEST(FixedText, ATextWithAZeroByteEndsThere) {
  FixedText<8> t;
  EXPECT_TRUE(t.Assign(std::string("ab\0cd", 5)));
  EXPECT_EQ(t.view(), "ab");  // read as the system reads it: up to the terminator
  FixedText<1> none;
  EXPECT_TRUE(none.Assign(""));
  EXPECT_FALSE(none.Assign("x"));
}

}  // namespace
}  // namespace zarnik
