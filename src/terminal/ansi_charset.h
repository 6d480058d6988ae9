// The character set the pane's bytes are shown in: Windows-1252 ("ANSI"), in which
// the codes 128 to 255 are printable. 0x80-0x9F hold typographic characters (0x80 the
// euro sign, 0x93 a left double quote); the five codes the set leaves unassigned are
// shown as a replacement character, so no byte is drawn as a missing glyph.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zarnik {

inline constexpr char16_t kUnassignedAnsi = u'\uFFFD';

// The Unicode character of a byte.
char16_t AnsiToUnicode(uint8_t byte);
// The byte of a Unicode character; 0 when the set has none.
uint8_t UnicodeToAnsi(char16_t ch);
// Bytes as UTF-16 text (the clipboard's copy).
std::u16string AnsiToUnicode(std::string_view bytes);

}  // namespace zarnik
