// Opening a file the operator names (a script, the settings file, a file to load).
//
// Only a regular file is accepted. A FIFO waits for a writer that may never come, a
// device such as /dev/zero never ends and a terminal blocks its reads: any of them
// would hang the program or make it read without end. The file is opened without
// blocking and examined through the descriptor it was opened with (so nothing can be
// swapped in between), and a size limit refuses a file too large to be what it claims.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

namespace zarnik {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

enum class FileProblem {
  None,
  CannotOpen,  // the system's reason (missing, no permission, ...)
  NotRegular,  // a FIFO, a device, a socket, a directory
  TooLarge,    // bigger than the caller's limit
};

struct OpenedFile {
  FilePtr file;  // blocking reads; null unless problem is None
  FileProblem problem = FileProblem::None;
  int error = 0;       // errno for CannotOpen
  std::string reason;  // why not, for a message: "No such file or directory", "not a regular file"

  explicit operator bool() const { return file != nullptr; }
  std::FILE* get() const { return file.get(); }
};

inline constexpr uint64_t kNoSizeLimit = std::numeric_limits<uint64_t>::max();

// Opens path for reading as raw bytes, if it is a regular file of at most maxBytes.
OpenedFile OpenRegularFile(const std::string& path, uint64_t maxBytes = kNoSizeLimit);

// Reads the rest of f into out, at most maxBytes of it. False when the file holds
// more (it grew after it was opened) or on a read error.
bool ReadAtMost(std::FILE* f, uint64_t maxBytes, std::string& out);

}  // namespace zarnik
