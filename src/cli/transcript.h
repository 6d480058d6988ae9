// Transcript: every byte that went over the line, both ways, with the time it
// went, for the operator who must show what was loaded. One entry per chunk as the
// serial layer moved it; bytes are written as text with \r, \n, \\ and \xHH
// escapes, at most 64 bytes to a line, so the file is exact and still readable.
//
// Threading: Record may be called from the serial layer's threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace zarnik {

class Transcript {
 public:
  enum class Direction { kSent, kReceived };

  // Opens (truncates) the file; Ok() tells whether that worked.
  explicit Transcript(const std::string& path);
  bool Ok() const { return ok_; }
  void Note(const std::string& text);
  // at: when the first of the bytes moved (Now()); by default, now.
  void Record(Direction dir, const uint8_t* data, size_t n, double at = -1);
  // Seconds since the transcript started.
  double Now() const;

  // The escaped form of bytes, as written.
  static std::string Escape(const uint8_t* data, size_t n);

 private:
  std::mutex mutex_;
  std::ofstream out_;
  bool ok_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace zarnik
