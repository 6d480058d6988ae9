// FixedText<N>: a NUL-terminated text field of N bytes, as the main window's text
// fields are. Nothing ever writes past it: an assignment that does not fit is
// refused whole and reports false, so the caller can word a clear message.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace zarnik {

template <size_t N>
class FixedText {
  static_assert(N >= 1);

 public:
  static constexpr size_t kCapacity = N - 1;  // characters, without the terminator

  FixedText() { buf_[0] = '\0'; }

  bool Assign(std::string_view s) {
    if (s.size() > kCapacity) return false;
    std::memcpy(buf_.data(), s.data(), s.size());
    buf_[s.size()] = '\0';
    return true;
  }
  bool Append(std::string_view s) {
    size_t len = size();
    if (len + s.size() > kCapacity) return false;
    std::memcpy(buf_.data() + len, s.data(), s.size());
    buf_[len + s.size()] = '\0';
    return true;
  }
  void Clear() { buf_[0] = '\0'; }

  const char* c_str() const { return buf_.data(); }
  char* data() { return buf_.data(); }
  size_t size() const { return std::strlen(buf_.data()); }
  bool empty() const { return buf_[0] == '\0'; }
  std::string str() const { return std::string(c_str()); }
  std::string_view view() const { return std::string_view(c_str()); }
  bool operator==(std::string_view s) const { return view() == s; }

 private:
  std::array<char, N> buf_{};
};

}  // namespace zarnik
