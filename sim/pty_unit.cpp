#include "pty_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace zarnik::sim {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;
constexpr size_t kReadChunk = 4096;
// Output nobody reads (no client on the slave) is lost past this, as on a real line.
constexpr size_t kMaxPendingOut = 64 * 1024;

uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool SetFlags(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Line text for the log: printable as is, anything else as \xHH.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

uint16_t ByteSum(const std::vector<uint8_t>& data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return static_cast<uint16_t>(sum & 0xFFFF);
}

// Time from `nowNs` to `dueNs` in whole milliseconds, rounded up so poll never wakes early.
int TimeoutMs(uint64_t nowNs, uint64_t dueNs) {
  if (dueNs <= nowNs) return 0;
  const uint64_t ms = (dueNs - nowNs + kNsPerMs - 1) / kNsPerMs;
  return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

}  // namespace

PtyUnit::PtyUnit(PtyUnitConfig config) : config_(std::move(config)), unit_(config_.unit) {}

PtyUnit::~PtyUnit() { Close(); }

bool PtyUnit::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    error = Errno("posix_openpt");
    return false;
  }
  char name[256];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
    error = Errno("pty set-up");
    Close();
    return false;
  }
  slavePath_ = name;
  // Holding the slave open keeps the master from reporting hang-ups between clients.
  slave_ = open(name, O_RDWR | O_NOCTTY);
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    error = Errno("pty slave");
    Close();
    return false;
  }
  cfmakeraw(&tio);
  if (tcsetattr(slave_, TCSANOW, &tio) != 0 || !SetFlags(master_) || !SetFlags(slave_)) {
    error = Errno("pty raw mode");
    Close();
    return false;
  }
  if (!config_.imageDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(config_.imageDir, ec);
    if (ec) {
      error = "image folder " + config_.imageDir + ": " + ec.message();
      Close();
      return false;
    }
  }
  if (!config_.logPath.empty()) {
    log_ = std::fopen(config_.logPath.c_str(), "w");
    if (log_ == nullptr) {
      error = Errno(("log " + config_.logPath).c_str());
      Close();
      return false;
    }
  }
  return true;
}

void PtyUnit::Close() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
  if (log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
}

bool PtyUnit::HandleControl(int controlFd) {
  char bytes[16];
  const ssize_t n = read(controlFd, bytes, sizeof bytes);
  for (ssize_t i = 0; i < n; ++i) {
    if (bytes[i] == kControlDisconnect) {
      Record();
      unit_.Disconnect();
      pendingOut_.clear();
      LogEvent("DISCONNECT");
    } else if (bytes[i] == kControlConnect) {
      ConnectFresh();
    } else {
      return false;
    }
  }
  return true;
}

void PtyUnit::ConnectFresh() {
  Record();
  imagesBefore_ += unit_.Images().size();
  config_.unit.serialNumber = NextSerialNumber(config_.unit.serialNumber);
  unit_ = SimUnit(config_.unit);
  unit_.Start(NowNs() / kNsPerMs);
  pendingOut_.clear();
  linesLogged_ = imagesDone_ = 0;
  LogEvent("CONNECT " + config_.unit.serialNumber);
}

PtyUnitEnd PtyUnit::Run(int controlFd, std::string& error) {
  unit_.Start(NowNs() / kNsPerMs);
  for (;;) {
    const uint64_t nowNs = NowNs();
    const uint32_t baud = unit_.Options().baud;
    int timeoutMs = -1;
    if (auto next = unit_.NextOutputTime()) timeoutMs = TimeoutMs(nowNs, *next * kNsPerMs);
    // Paced reading: do not even look at input until the line could have delivered a byte.
    bool wantRead = true;
    if (baud != 0 && !inputIdle_) {
      const uint64_t nextByteNs = inputClockNs_ + 10'000'000'000ull / baud;
      if (nowNs < nextByteNs) {
        wantRead = false;
        const int wait = TimeoutMs(nowNs, nextByteNs);
        timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
      }
    }
    pollfd fds[2] = {{controlFd, POLLIN, 0}, {master_, 0, 0}};
    if (wantRead) fds[1].events |= POLLIN;
    if (!pendingOut_.empty()) fds[1].events |= POLLOUT;
    if (poll(fds, 2, timeoutMs) < 0) {
      if (errno == EINTR) continue;
      error = Errno("poll");
      return PtyUnitEnd::kFailed;
    }
    if (fds[0].revents != 0 && !HandleControl(controlFd)) {
      LogEnd("stopped");
      return PtyUnitEnd::kStopped;
    }
    const short revents = fds[1].revents;
    if ((revents & POLLIN) != 0 && !ReadMaster(NowNs(), error)) return PtyUnitEnd::kFailed;
    if (unit_.Dead()) {
      LogEnd("hang-up");
      return PtyUnitEnd::kHungUp;
    }
    // Cannot happen while we hold the slave; bail out rather than spin on it.
    if ((revents & (POLLERR | POLLNVAL)) != 0 || ((revents & POLLHUP) != 0 && !(revents & POLLIN))) {
      error = "pty master reported an error or hang-up";
      return PtyUnitEnd::kFailed;
    }
    unit_.TakeOutput(NowNs() / kNsPerMs, pendingOut_);
    WriteMaster();
  }
}

bool PtyUnit::ReadMaster(uint64_t nowNs, std::string& error) {
  const uint32_t baud = unit_.Options().baud;
  size_t want = kReadChunk;
  if (baud != 0) {
    const uint64_t byteNs = 10'000'000'000ull / baud;
    if (inputIdle_) {
      // The first byte after a quiet spell is on the line one byte time from now.
      inputIdle_ = false;
      inputClockNs_ = nowNs;
      return true;
    }
    want = static_cast<size_t>(std::min<uint64_t>(want, (nowNs - inputClockNs_) / byteNs));
    if (want == 0) return true;
  }
  uint8_t buf[kReadChunk];
  const ssize_t n = read(master_, buf, want);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) {
      inputIdle_ = true;
      return true;
    }
    error = Errno("read pty");
    return false;
  }
  if (baud != 0) {
    inputClockNs_ += static_cast<uint64_t>(n) * (10'000'000'000ull / baud);
    if (static_cast<size_t>(n) < want) inputIdle_ = true;
  }
  unit_.Receive(buf, static_cast<size_t>(n), nowNs / kNsPerMs);
  Record();
  return true;
}

void PtyUnit::WriteMaster() {
  if (unit_.Dead()) pendingOut_.clear();
  if (pendingOut_.size() > kMaxPendingOut)
    pendingOut_.erase(0, pendingOut_.size() - kMaxPendingOut);
  while (!pendingOut_.empty()) {
    const ssize_t n = write(master_, pendingOut_.data(), pendingOut_.size());
    if (n > 0) {
      pendingOut_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // full: poll waits for POLLOUT
    }
  }
}

void PtyUnit::Record() {
  const auto& lines = unit_.ReceivedLines();
  for (; linesLogged_ < lines.size(); ++linesLogged_) LogLine(lines[linesLogged_]);
  const auto& images = unit_.Images();
  for (; imagesDone_ < images.size() && images[imagesDone_].complete; ++imagesDone_)
    FinishImage(imagesDone_);
}

void PtyUnit::LogLine(const std::string& line) {
  if (log_ == nullptr) return;
  std::fprintf(log_, "LINE %s\n", Printable(line).c_str());
  std::fflush(log_);
}

void PtyUnit::FinishImage(size_t index) {
  const LoadedImage& image = unit_.Images()[index];
  const size_t number = imagesBefore_ + index + 1;
  if (!config_.imageDir.empty()) {
    const std::string path = config_.imageDir + "/image-" + std::to_string(number) + ".bin";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data.data()),
               static_cast<std::streamsize>(image.data.size()));
    if (!file) std::fprintf(stderr, "zarnik-unit-sim: cannot write %s\n", path.c_str());
  }
  if (log_ == nullptr) return;
  std::fprintf(log_, "IMAGE %zu word=%s address=%s version=%s size=%u checksum=%x received=%zu sum=%x %s\n",
               number, Printable(image.loadWord).c_str(), Printable(image.address).c_str(),
               Printable(image.version).c_str(), image.size, image.checksum, image.data.size(),
               ByteSum(image.data), image.ok ? "OK" : "BAD");
  std::fflush(log_);
}

void PtyUnit::LogEvent(const std::string& text) {
  if (log_ == nullptr) return;
  std::fprintf(log_, "%s\n", text.c_str());
  std::fflush(log_);
}

void PtyUnit::LogEnd(const char* why) {
  Record();
  // A load cut short is still worth a line in the log (it is not saved as an image).
  const auto& images = unit_.Images();
  if (imagesDone_ < images.size() && log_ != nullptr) {
    const LoadedImage& image = images[imagesDone_];
    std::fprintf(log_, "IMAGE %zu word=%s address=%s version=%s size=%u checksum=%x received=%zu INCOMPLETE\n",
                 imagesBefore_ + imagesDone_ + 1, Printable(image.loadWord).c_str(), Printable(image.address).c_str(),
                 Printable(image.version).c_str(), image.size, image.checksum, image.data.size());
  }
  if (log_ == nullptr) return;
  std::fprintf(log_, "END %s after %zu bytes\n", why, unit_.ReceivedBytes().size());
  std::fflush(log_);
}

}  // namespace zarnik::sim
