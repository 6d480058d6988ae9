#include "terminal/ansi_charset.h"

#include <gtest/gtest.h>

namespace zarnik {
namespace {

TEST(AnsiCharset, BytesAndCharactersBothWays) {
  struct Case {
    uint8_t byte;
    char16_t ch;
  };
  for (const Case c : {Case{'A', u'A'}, Case{0x80, u'\u20AC'}, Case{0x93, u'\u201C'},
                       Case{0x9F, u'\u0178'}, Case{0xA0, u'\u00A0'}, Case{0xE9, u'\u00E9'}}) {
    EXPECT_EQ(AnsiToUnicode(c.byte), c.ch) << int(c.byte);
    EXPECT_EQ(UnicodeToAnsi(c.ch), c.byte) << int(c.byte);
  }
  for (uint8_t unassigned : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
    EXPECT_EQ(AnsiToUnicode(unassigned), kUnassignedAnsi) << int(unassigned);
  // Characters outside the set, and the C1 controls it replaces, have no byte.
  EXPECT_EQ(UnicodeToAnsi(u'\u0080'), 0);
  EXPECT_EQ(UnicodeToAnsi(u'\u4E00'), 0);
  EXPECT_EQ(AnsiToUnicode(std::string_view("\x80x")), u"\u20ACx");
}

}  // namespace
}  // namespace zarnik
