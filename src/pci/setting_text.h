// Reading the environment settings that describe devices (ZARNIK_PCI_SIM,
// ZARNIK_PCI_MAP): the trimming and the numbers both settings take.
#pragma once

#include <charconv>
#include <string_view>

namespace zarnik {

// Without the blanks at either end (line ends included: a map file written elsewhere
// brings carriage returns, a sysfs attribute its new line).
inline std::string_view TrimSetting(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// The whole of s as a number: decimal, or hexadecimal with 0x. False (out unchanged
// or partly written) for anything else, also when the number does not fit T.
template <typename T>
bool ParseSettingNumber(std::string_view s, T& out) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return !s.empty() && ec == std::errc() && ptr == s.data() + s.size();
}

}  // namespace zarnik
