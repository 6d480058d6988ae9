// The argument forms and escapes of a script command line.
//
// A command line is the `_`, its two-letter code and whatever follows, up to the
// line end. Arguments are cut out of it in one of three ways: a word (after the
// first blank, further blanks skipped, to the end of the line), a quoted text
// (after the first double quote to the end of the line, less the last character,
// which is taken to be the closing quote) and a test (the text between the first
// two double quotes, followed by a command line of its own). Escapes are two-
// character pairs replaced by one character after the text has been cut out.
// Everything here is pure: views into the caller's line, no state (the line
// classifier keeps only where it is on the current line).
//
// The script reader and `zarnik-cli check` both go through the classifier and the
// code list here, so a script is never read one way and checked another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarnik::script {

// The command codes, in the order the runner compares a line's first three
// characters with them (exactly, case-sensitively).
inline constexpr std::string_view kCommandCodes[] = {"_SC", "_TC", "_DM", "_DY", "_LP",
                                                     "_LC", "_LF", "_LK", "_LA", "_LV",
                                                     "_LD", "_PC", "_QC", "_CE", "_CS"};
// The code of a command line: its first three characters (fewer if it is shorter).
inline std::string_view CommandCode(std::string_view line) {
  return line.substr(0, 3);
}
bool IsCommandCode(std::string_view code);

// What the reader does with each character of a line. Characters before the first
// `_` or `;` are skipped; a `;` first makes the line a comment; a `_` first opens
// the command line, which runs to the line end (a later `;` is part of it). A line
// with neither is skipped whole.
enum class ScriptChar { kSkipped, kOpensCommand, kInCommand };
class LineClassifier {
 public:
  // The next character of the line (never the line feed).
  ScriptChar Take(char c) {
    if (atLineStart_ && c == '_') {
      atLineStart_ = false;
      inCommand_ = true;
      return ScriptChar::kOpensCommand;
    }
    if (atLineStart_ && c == ';') atLineStart_ = false;
    return inCommand_ ? ScriptChar::kInCommand : ScriptChar::kSkipped;
  }
  // At a line feed: the next character starts a new line.
  void EndLine() {
    atLineStart_ = true;
    inCommand_ = false;
  }
  bool InCommand() const { return inCommand_; }

 private:
  bool atLineStart_ = true;
  bool inCommand_ = false;
};

// After the first blank, with further leading blanks skipped; trailing blanks stay.
// nullopt when the line has no blank. A blank followed by nothing gives "".
std::optional<std::string_view> WordArgument(std::string_view line);

// After the first double quote up to the end, less the last character. nullopt
// when there is no double quote, or when it is the last character of the line
// (no text and no closing quote: the line carries nothing to cut out).
std::optional<std::string_view> QuotedArgument(std::string_view line);

// The character right after the first double quote (the closing quote itself for
// an empty text); nullopt when there is no quote or nothing follows it.
std::optional<char> CharAfterQuote(std::string_view line);

struct TestArgument {
  std::string_view text;  // between the first two double quotes
  std::string_view rest;  // after the closing quote, leading blanks skipped
};
// nullopt when the line has no opening or no closing quote.
std::optional<TestArgument> ParseTestArgument(std::string_view line);

// Replaces each non-overlapping occurrence of the two-character pair, left to
// right, by one character.
std::string ReplacePairs(std::string_view text, std::string_view pair, char with);

// A decimal number as the unit's tools read them: leading blanks skipped, an
// optional sign, the digits up to the first other character; 0 when there are
// none. Clamped to the 32-bit range rather than wrapping.
int32_t LeadingNumber(std::string_view text);

}  // namespace zarnik::script
