#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zarnik {

namespace {
OpenedFile Refuse(FileProblem problem, std::string reason, int error = 0) {
  OpenedFile r;
  r.problem = problem;
  r.error = error;
  r.reason = std::move(reason);
  return r;
}
}  // namespace

OpenedFile OpenRegularFile(const std::string& path, uint64_t maxBytes) {
  // O_NONBLOCK: a FIFO without a writer, or a serial line without carrier, would
  // otherwise hold the open itself. O_NOCTTY: a terminal named here must not become
  // ours.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Refuse(FileProblem::CannotOpen, std::strerror(errno), errno);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int error = errno;
    ::close(fd);
    return Refuse(FileProblem::CannotOpen, std::strerror(error), error);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Refuse(FileProblem::NotRegular, "not a regular file");
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return Refuse(FileProblem::TooLarge, "larger than " + std::to_string(maxBytes) + " bytes");
  }
  // A regular file never blocks; the flag goes so that reads behave as ever.
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  OpenedFile r;
  r.file.reset(fdopen(fd, "rb"));
  if (!r.file) {
    int error = errno;
    ::close(fd);
    return Refuse(FileProblem::CannotOpen, std::strerror(error), error);
  }
  return r;
}

bool ReadAtMost(std::FILE* f, uint64_t maxBytes, std::string& out) {
  out.clear();
  std::array<char, 8192> buf;
  for (;;) {
    size_t n = std::fread(buf.data(), 1, buf.size(), f);
    if (n > maxBytes - out.size()) return false;
    out.append(buf.data(), n);
    if (n < buf.size()) return !std::ferror(f);
  }
}

}  // namespace zarnik
