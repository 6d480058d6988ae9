#include "terminal/capture.h"

#include <cerrno>
#include <cstring>

namespace zarnik {

TCapture::~TCapture() {
  Close();
}

void TCapture::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void TCapture::SetMode(TCaptureMode mode) {
  if (mode == mode_) return;
  Close();
  mode_ = cmOff;
  if (mode == cmOff) return;
  file_ = std::fopen(fileName_.c_str(), mode == cmAppend ? "ab" : "wb");
  if (!file_) {
    throw ECaptureError("Cannot create file \"" + fileName_ + "\". " + std::strerror(errno));
  }
  mode_ = cmOn;
}

bool TCapture::Write(const uint8_t* data, size_t n) {
  if (mode_ != cmOn || !file_) return false;
  if (n == 0) return true;
  return std::fwrite(data, 1, n, file_) == n && std::fflush(file_) == 0;
}

}  // namespace zarnik
