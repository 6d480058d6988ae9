#include "script/script_syntax.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <limits>

namespace zarnik::script {

bool IsCommandCode(std::string_view code) {
  return std::find(std::begin(kCommandCodes), std::end(kCommandCodes), code) !=
         std::end(kCommandCodes);
}

std::optional<std::string_view> WordArgument(std::string_view line) {
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  size_t start = line.find_first_not_of(' ', blank);
  if (start == std::string_view::npos) return line.substr(line.size());
  return line.substr(start);
}

std::optional<std::string_view> QuotedArgument(std::string_view line) {
  size_t quote = line.find('"');
  if (quote == std::string_view::npos || quote + 1 >= line.size()) return std::nullopt;
  return line.substr(quote + 1, line.size() - quote - 2);
}

std::optional<char> CharAfterQuote(std::string_view line) {
  size_t quote = line.find('"');
  if (quote == std::string_view::npos || quote + 1 >= line.size()) return std::nullopt;
  return line[quote + 1];
}

std::optional<TestArgument> ParseTestArgument(std::string_view line) {
  size_t open = line.find('"');
  if (open == std::string_view::npos) return std::nullopt;
  size_t close = line.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  TestArgument arg;
  arg.text = line.substr(open + 1, close - open - 1);
  size_t rest = line.find_first_not_of(' ', close + 1);
  arg.rest = rest == std::string_view::npos ? line.substr(line.size()) : line.substr(rest);
  return arg;
}

std::string ReplacePairs(std::string_view text, std::string_view pair, char with) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i, pair.size()) == pair) {
      out.push_back(with);
      i += pair.size();
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

int32_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace zarnik::script
