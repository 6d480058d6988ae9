// Helpers for the serial tests: a pty pair, and waits that service the host's queue
// (real time, short bounds).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/console_host.h"
#include "serial/device_posix.h"

namespace zarnik::testing {

// A pseudo-terminal: the test keeps the master, the code under test opens the slave.
class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    slavePath_ = ::ptsname(master_);
    termios t{};
    // The master side passes bytes through unchanged.
    int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) {
      ::tcgetattr(slave, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(slave, TCSANOW, &t);
      keep_ = slave;  // keeps the pty from hanging up while the port is closed
    }
  }
  ~PtyPair() {
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
  // The far end goes away: the kernel hangs up every open of the slave.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

  void Write(const std::string& s) const {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(master_, s.data() + done, s.size() - done);
      if (n > 0) done += n;
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Reads what arrives until n bytes came or maxMs passed.
  std::string Read(size_t n, int maxMs = 2000) const {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    char buf[4096];
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.append(buf, got);
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return out;
  }

 private:
  int master_ = -1;
  int keep_ = -1;
  std::string slavePath_;
};

// Modem lines and error counters a test can move, for a pty that has neither.
class FakeLines : public TermiosLines {
 public:
  bool GetModemBits(int, int& bits) override {
    bits = modem.load();
    return true;
  }
  void SetModemBit(int, int, bool) override {}
  bool GetCounters(int, serial_icounter_struct& counters) override {
    counters = {};
    counters.brk = breaks.load();
    counters.parity = parityErrors.load();
    return true;
  }
  // A driver that takes no custom rate (its clock makes only the standard ones).
  bool SetCustomRate(int fd, uint32_t baud, uint32_t& actual) override {
    if (!refuseCustomRates) return TermiosLines::SetCustomRate(fd, baud, actual);
    errno = EINVAL;
    return false;
  }
  std::atomic<int> modem{TIOCM_CTS | TIOCM_DSR | TIOCM_CAR};
  std::atomic<bool> refuseCustomRates{false};
  std::atomic<int> breaks{0};
  std::atomic<int> parityErrors{0};
};

// Services the host's queue until pred holds or maxMs passed; returns pred().
inline bool PumpUntil(Host& host, const std::function<bool()>& pred, int maxMs = 2000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    host.WaitAndProcessMessages(2);
  }
  return true;
}

// Waits without a queue (for tests whose consumers run on the dispatcher thread).
inline bool WaitUntil(const std::function<bool()>& pred, int maxMs = 2000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs wait() on a thread of its own and, once that thread sleeps in the kernel, calls
// cancel() until wait() is back. A cancel wakes only a wait that has begun, so the first
// one may land early; the later ones then find the wait. Returns wait()'s result and
// how long it took.
struct CancelledWait {
  int result = -1;
  std::chrono::milliseconds took{};
};
inline CancelledWait CancelWhileWaiting(const std::function<int()>& wait,
                                        const std::function<void()>& cancel) {
  CancelledWait out;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> back{false};
  auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] {
    tid = ::gettid();
    out.result = wait();
    back = true;
  });
  auto sleeping = [&] {
    if (tid == 0) return false;
    std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
  };
  WaitUntil(sleeping, 5000);
  WaitUntil([&] {
    cancel();
    return back.load();
  }, 30000);
  waiter.join();
  out.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return out;
}

inline ConsoleHostOptions QuietHost() {
  ConsoleHostOptions o;
  o.showStatus = false;
  return o;
}

}  // namespace zarnik::testing
