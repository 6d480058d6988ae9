#include "cli/transcript.h"

#include <cstdio>
#include <ctime>

namespace zarnik {

namespace {
constexpr size_t kBytesPerLine = 64;
}

Transcript::Transcript(const std::string& path)
    : out_(path, std::ios::binary | std::ios::trunc), start_(std::chrono::steady_clock::now()) {
  ok_ = static_cast<bool>(out_);
  if (!ok_) return;
  std::time_t now = std::time(nullptr);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  out_ << "# transcript started " << stamp
       << "; seconds since then, TX = to the unit, RX = from the unit\n";
}

double Transcript::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Transcript::Escape(const uint8_t* data, size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = data[i];
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c == '\\') {
      s += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    }
  }
  return s;
}

void Transcript::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!ok_) return;
  char t[32];
  std::snprintf(t, sizeof t, "%10.3f", Now());
  out_ << t << " --  " << text << '\n';
  out_.flush();
}

void Transcript::Record(Direction dir, const uint8_t* data, size_t n, double at) {
  if (n == 0) return;
  std::lock_guard lock(mutex_);
  if (!ok_) return;
  char t[32];
  std::snprintf(t, sizeof t, "%10.3f", at < 0 ? Now() : at);
  const char* tag = dir == Direction::kSent ? " TX " : " RX ";
  out_ << t << tag << n << " byte" << (n == 1 ? "" : "s") << '\n';
  for (size_t off = 0; off < n; off += kBytesPerLine) {
    size_t len = std::min(kBytesPerLine, n - off);
    out_ << "           | " << Escape(data + off, len) << '\n';
  }
  out_.flush();
}

}  // namespace zarnik
