// Argument forms, escapes and numbers of a command line.
#include "script/script_syntax.h"

#include <gtest/gtest.h>

#include <climits>

namespace zarnik::script {
namespace {

TEST(ScriptSyntax, WordArgument) {
  struct Case {
    const char* line;
    std::optional<std::string_view> word;
  } cases[] = {
      {"_LF boot.bin", "boot.bin"},
      {"_LF    spaced name.bin  ", "spaced name.bin  "},  // trailing blanks stay
      {"_LD", std::nullopt},
      {"_DY ", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(WordArgument(c.line), c.word) << c.line;
}

TEST(ScriptSyntax, QuotedArgumentTakesTheLastCharacterAsClosingQuote) {
  struct Case {
    const char* line;
    std::optional<std::string_view> text;
  } cases[] = {
      {R"(_SC "VER")", "VER"},
      {R"(_SC "")", ""},
      {R"(_DM "a ; b")", "a ; b"},
      {R"(_SC "AB)", "A"},           // no closing quote: the last character is taken for it
      {R"(_SC ")", std::nullopt},    // nothing after the opening quote
      {"_SC VER", std::nullopt},
      {R"(_SC "x" trailing)", "x\" trailin"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotedArgument(c.line), c.text) << c.line;
  EXPECT_EQ(CharAfterQuote(R"(_PC "#")"), '#');
  EXPECT_EQ(CharAfterQuote(R"(_PC "")"), '"');
  EXPECT_EQ(CharAfterQuote(R"(_PC ")"), std::nullopt);
}

TEST(ScriptSyntax, TestArgumentSplitsTextAndRest) {
  auto a = ParseTestArgument(R"(_CE "OK"    _SC "GO")");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->text, "OK");
  EXPECT_EQ(a->rest, R"(_SC "GO")");
  auto empty = ParseTestArgument(R"(_CS "")");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->text, "");
  EXPECT_EQ(empty->rest, "");
  EXPECT_FALSE(ParseTestArgument(R"(_CE "unclosed)"));
}

TEST(ScriptSyntax, EscapesReplaceEachPairByOneCharacter) {
  EXPECT_EQ(ReplacePairs("AB^MCD", "^M", '\r'), "AB\rCD");
  EXPECT_EQ(ReplacePairs("^M^M", "^M", '\r'), "\r\r");
  EXPECT_EQ(ReplacePairs("^^MM", "^M", '\r'), "^\rM");
  EXPECT_EQ(ReplacePairs(ReplacePairs(R"(a\r\nb)", "\\r", '\r'), "\\n", '\n'), "a\r\nb");
}

TEST(ScriptSyntax, LeadingNumber) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"12abc", 12}, {"  -5", -5}, {"+7", 7}, {"x12", 0}, {"", 0},
               {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(LeadingNumber(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace zarnik::script
