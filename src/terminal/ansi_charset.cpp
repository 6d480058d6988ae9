#include "terminal/ansi_charset.h"

namespace zarnik {

namespace {
constexpr char16_t kHigh[32] = {
    u'\u20AC', kUnassignedAnsi, u'\u201A',       u'\u0192', u'\u201E', u'\u2026', u'\u2020',
    u'\u2021', u'\u02C6',       u'\u2030',       u'\u0160', u'\u2039', u'\u0152', kUnassignedAnsi,
    u'\u017D', kUnassignedAnsi, kUnassignedAnsi, u'\u2018', u'\u2019', u'\u201C', u'\u201D',
    u'\u2022', u'\u2013',       u'\u2014',       u'\u02DC', u'\u2122', u'\u0161', u'\u203A',
    u'\u0153', kUnassignedAnsi, u'\u017E',       u'\u0178'};
}  // namespace

char16_t AnsiToUnicode(uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : char16_t(byte);
}

uint8_t UnicodeToAnsi(char16_t ch) {
  if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return uint8_t(ch);
  if (ch == kUnassignedAnsi) return 0;
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == ch) return uint8_t(0x80 + i);
  return 0;
}

std::u16string AnsiToUnicode(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (char c : bytes) text.push_back(AnsiToUnicode(uint8_t(c)));
  return text;
}

}  // namespace zarnik
