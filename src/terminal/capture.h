// TCapture: the raw received bytes copied to a file ("TERMINAL.CAP" unless named
// otherwise) before the emulator sees them. Off by default. cmOn creates or empties
// the file; cmAppend opens it at its end and from then on reads as cmOn; cmOff closes it.
//
// Threading: window thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "terminal/terminal_types.h"

namespace zarnik {

class ECaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCapture {
 public:
  static constexpr const char* kDefaultFile = "TERMINAL.CAP";

  TCapture() = default;
  ~TCapture();
  TCapture(const TCapture&) = delete;
  TCapture& operator=(const TCapture&) = delete;

  TCaptureMode Mode() const { return mode_; }
  // Throws ECaptureError, naming the file and the reason, when the file cannot be
  // opened; capture is then off.
  void SetMode(TCaptureMode mode);
  const std::string& FileName() const { return fileName_; }
  // Used from the next time capture is switched on.
  void SetFileName(std::string name) { fileName_ = std::move(name); }

  // Writes the bytes unchanged while capture is on; false when off or when the write failed.
  bool Write(const uint8_t* data, size_t n);

 private:
  void Close();

  TCaptureMode mode_ = cmOff;
  std::string fileName_ = kDefaultFile;
  std::FILE* file_ = nullptr;
};

}  // namespace zarnik
