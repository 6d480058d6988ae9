#include "cli/tapped_device.h"

namespace zarnik {

void UnitAnswer::Add(const uint8_t* data, size_t n) {
  std::lock_guard lock(mutex_);
  tail_.append(reinterpret_cast<const char*>(data), n);
  if (tail_.size() > kKept) tail_.erase(0, tail_.size() - kKept);
}

std::string UnitAnswer::LastLine() const {
  std::string tail;
  {
    std::lock_guard lock(mutex_);
    tail = tail_;
  }
  std::string last, line;
  auto endLine = [&] {
    // Blanks around it go; a lone character is the prompt, not an answer.
    const size_t from = line.find_first_not_of(' ');
    const size_t to = line.find_last_not_of(' ');
    if (from != std::string::npos && to > from) last = line.substr(from, to - from + 1);
    line.clear();
  };
  for (char c : tail) {
    if (c == '\r' || c == '\n') {
      endLine();
    } else if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F) {
      line += c;
    }
  }
  endLine();
  return last;
}

}  // namespace zarnik
