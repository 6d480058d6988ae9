#include "serial/device_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "serial/custom_rate.h"

namespace zarnik {

namespace {

struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t& code) {
  for (const auto& e : kSpeeds)
    if (e.baud == baud) {
      code = e.code;
      return true;
    }
  return false;
}

uint32_t SpeedBaud(speed_t code) {
  for (const auto& e : kSpeeds)
    if (e.code == code) return e.baud;
  return 9600;
}

// On an open descriptor these say the device itself has gone: a USB adapter pulled
// out, or a pty whose other side closed (the kernel hangs the line up).
bool DeviceGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV;
}

}  // namespace

SerialError PosixCause(int err, bool opening) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return SerialError::PermissionDenied;
    case ENOTTY:
    case EISDIR:
      return SerialError::NotSerial;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return SerialError::NoMemory;
    case EBADF:
      return SerialError::NotOpen;
    default:
      break;
  }
  if (opening) {
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case EIO:  // a ttyS node without a UART behind it
        return SerialError::NotFound;
      case ENOTDIR:
        return SerialError::PathNotFound;
      case EBUSY:
      case EWOULDBLOCK:
        return SerialError::Busy;
      default:
        return SerialError::Io;
    }
  }
  if (DeviceGone(err)) return SerialError::Disconnected;
  if (err == EINVAL) return SerialError::BadSetting;
  return SerialError::Io;
}

bool TermiosLines::GetModemBits(int fd, int& bits) { return ::ioctl(fd, TIOCMGET, &bits) == 0; }

void TermiosLines::SetModemBit(int fd, int bit, bool on) {
  ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

bool TermiosLines::GetCounters(int fd, serial_icounter_struct& counters) {
  return ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
}

bool TermiosLines::SetCustomRate(int fd, uint32_t baud, uint32_t& actual) {
  return zarnik::SetCustomRate(fd, baud, actual);
}

PosixDevice::PosixDevice(std::shared_ptr<TermiosLines> lines)
    : lines_(lines ? std::move(lines) : std::make_shared<TermiosLines>()) {}

namespace {

// The device opened without blocking and locked against every other program that
// locks it (flock holds against root too, where TIOCEXCL does not): 0 and the
// descriptor with the line's settings, or an Open code.
SerialError OpenLocked(const std::string& path, int& fdOut, termios& settings) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return PosixCause(errno, true);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::tcgetattr(fd, &settings) != 0) {
    SerialError cause = PosixCause(errno, true);
    ::close(fd);
    return cause;
  }
  fdOut = fd;
  return SerialError::None;
}

}  // namespace

SerialError TestDeviceOpen(const std::string& path) {
  int fd = -1;
  termios settings{};
  SerialError cause = OpenLocked(path, fd, settings);
  if (cause == SerialError::None) ::close(fd);
  return cause;
}

int PosixDevice::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (fd_.load() >= 0) return DeviceFailure(SerialError::Busy);
  int fd = -1;
  if (SerialError cause = OpenLocked(path, fd, original_); cause != SerialError::None)
    return DeviceFailure(cause);
  auto fail = [&](int code) {
    ::close(fd);
    return code;
  };
  ::ioctl(fd, TIOCEXCL);
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int txWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0 || txWake < 0) {
    if (wake >= 0) ::close(wake);
    if (txWake >= 0) ::close(txWake);
    return fail(DeviceFailure(SerialError::NoMemory));
  }

  termios raw = original_;
  ::cfmakeraw(&raw);
  raw.c_cflag |= CREAD | CLOCAL;
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
    ::close(wake);
    ::close(txWake);
    return fail(DeviceFailure(PosixCause(errno, true)));
  }
  dcb_ = TDcb{};
  dcb_.baudRate = SpeedBaud(::cfgetospeed(&raw));
  wakeFd_ = wake;
  txWakeFd_ = txWake;
  int bits = 0;
  hasModemLines_ = lines_->GetModemBits(fd, bits);
  serial_icounter_struct ic{};
  hasCounters_ = lines_->GetCounters(fd, ic);
  gone_ = false;
  errors_ = 0;
  pendingEvents_ = 0;
  struct stat st{};
  isPty_ = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= kPtySlaveMajor &&
           major(st.st_rdev) < kPtySlaveMajor + 8;
  fd_ = fd;
  lastModem_ = ModemStatusLocked();
  ReadCounters(lastCounters_);
  return 0;
}

void PosixDevice::Close() {
  std::lock_guard lock(mutex_);
  int fd = fd_.exchange(-1);
  if (fd < 0) return;
  // Put the line back as we found it; a pty whose other side has gone may refuse.
  ::tcsetattr(fd, TCSANOW, &original_);
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);  // also releases the flock
  ::close(wakeFd_);
  ::close(txWakeFd_);
  wakeFd_ = txWakeFd_ = -1;
}

int PosixDevice::Setup(uint32_t inSize, uint32_t outSize) {
  // Linux sizes its queues itself; the sizes stay for the record.
  std::lock_guard lock(mutex_);
  if (fd_.load() < 0) return DeviceFailure(SerialError::NotOpen);
  inSize_ = inSize;
  outSize_ = outSize;
  return 0;
}

int PosixDevice::GetState(TDcb& dcb) {
  std::lock_guard lock(mutex_);
  if (fd_.load() < 0) return DeviceFailure(SerialError::NotOpen);
  dcb = dcb_;
  return 0;
}

int PosixDevice::SetState(const TDcb& dcb) {
  std::lock_guard lock(mutex_);
  if (fd_.load() < 0) return DeviceFailure(SerialError::NotOpen);
  int r = ApplyLocked(dcb);
  if (r == 0) dcb_ = dcb;
  return r;
}

int PosixDevice::FailLocked(int err) {
  SerialError cause = PosixCause(err, false);
  if (cause == SerialError::Disconnected) gone_ = true;
  return DeviceFailure(cause);
}

int PosixDevice::ApplyLocked(const TDcb& dcb) {
  int fd = fd_.load();
  termios t{};
  if (gone_) return DeviceFailure(SerialError::Disconnected);
  if (::tcgetattr(fd, &t) != 0) return FailLocked(errno);
  const termios before = t;
  if (dcb.baudRate == 0) return DeviceFailure(SerialError::RateRefused);
  // A rate without a B-constant goes by the custom-rate request, after the rest.
  speed_t speed;
  const bool standard = SpeedCode(dcb.baudRate, speed);
  if (standard) {
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
  }
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > 4)
    return DeviceFailure(SerialError::BadSetting);
  t.c_cflag = (t.c_cflag & ~CSIZE) | kSizes[dcb.byteSize - 5];
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                         PARENB | CMSPAR};
  t.c_cflag |= kParity[dcb.parity];
  if (dcb.stopBits != kOneStopBit) t.c_cflag |= CSTOPB;  // with 5 data bits: 1.5
  if (dcb.outxCtsFlow || dcb.rtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
  if (dcb.parityCheck) t.c_iflag |= INPCK;
  if (dcb.outX) t.c_iflag |= IXON;
  if (dcb.inX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.xonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.xoffChar);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    // The driver refuses what it cannot do; a new rate is the likely culprit.
    if (errno == EINVAL && dcb.baudRate != dcb_.baudRate)
      return DeviceFailure(SerialError::RateRefused);
    return FailLocked(errno);
  }
  if (!standard) {
    uint32_t actual = 0;
    bool taken = lines_->SetCustomRate(fd, dcb.baudRate, actual);
    int err = errno;
    // The driver may round to what its clock can make; a UART still talks within 2%.
    if (!taken || uint64_t(actual) * 50 < uint64_t(dcb.baudRate) * 49 ||
        uint64_t(actual) * 50 > uint64_t(dcb.baudRate) * 51) {
      if (!taken && DeviceGone(err)) return FailLocked(err);
      // The line stays as it was, a custom rate included.
      ::tcsetattr(fd, TCSANOW, &before);
      uint32_t ignored;
      if (taken && !SpeedCode(dcb_.baudRate, speed))
        lines_->SetCustomRate(fd, dcb_.baudRate, ignored);
      return DeviceFailure(SerialError::RateRefused);
    }
  }
  if (dcb.dtrControl != kDtrControlHandshake)
    SetModemLineLocked(TIOCM_DTR, dcb.dtrControl == kDtrControlEnable);
  if (dcb.rtsControl != kRtsControlHandshake)
    SetModemLineLocked(TIOCM_RTS, dcb.rtsControl == kRtsControlEnable);
  return 0;
}

void PosixDevice::SetModemLineLocked(int bit, bool on) {
  if (!hasModemLines_ || gone_) return;
  lines_->SetModemBit(fd_.load(), bit, on);
}

uint32_t PosixDevice::ModemStatusLocked() {
  int fd = fd_.load();
  int bits = 0;
  // A device that has gone has no lines up.
  if (fd < 0 || gone_) return 0;
  if (!hasModemLines_ || !lines_->GetModemBits(fd, bits)) return msCtsOn | msDsrOn | msRlsdOn;
  return ((bits & TIOCM_CTS) ? msCtsOn : 0) | ((bits & TIOCM_DSR) ? msDsrOn : 0) |
         ((bits & TIOCM_RNG) ? msRingOn : 0) | ((bits & TIOCM_CAR) ? msRlsdOn : 0);
}

uint32_t PosixDevice::ModemStatus() {
  std::lock_guard lock(mutex_);
  return ModemStatusLocked();
}

bool PosixDevice::ReadCounters(Counters& c) {
  serial_icounter_struct ic{};
  if (!hasCounters_ || !lines_->GetCounters(fd_.load(), ic)) return false;
  c = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
  return true;
}

uint32_t PosixDevice::LineEventsLocked() {
  uint32_t events = 0;
  uint32_t modem = ModemStatusLocked();
  uint32_t changed = modem ^ lastModem_;
  if (changed & msCtsOn) events |= evCts;
  if (changed & msDsrOn) events |= evDsr;
  if (changed & msRlsdOn) events |= evRlsd;
  if (changed & msRingOn) events |= (modem & msRingOn) ? evRing : evRingTe;
  lastModem_ = modem;
  Counters now;
  if (ReadCounters(now)) {
    uint32_t errs = (now.frame != lastCounters_.frame ? ceFrame : 0) |
                    (now.overrun != lastCounters_.overrun ? ceOverrun : 0) |
                    (now.parity != lastCounters_.parity ? ceRxParity : 0) |
                    (now.bufOverrun != lastCounters_.bufOverrun ? ceRxOver : 0);
    if (now.brk != lastCounters_.brk) {
      errs |= ceBreak;
      events |= evBreak;
    }
    if (errs & ~ceBreak) events |= evErr;
    errors_ |= errs;
    lastCounters_ = now;
  }
  return events;
}

int PosixDevice::InQueueLocked() {
  int n = 0;
  if (gone_) return 0;
  if (::ioctl(fd_.load(), FIONREAD, &n) != 0) {
    if (DeviceGone(errno)) gone_ = true;
    return 0;
  }
  return n;
}

int PosixDevice::WaitEvent(uint32_t mask, uint32_t timeoutMs) {
  int fd = fd_.load();
  if (fd < 0) return DeviceFailure(SerialError::NotOpen);
  int before;
  {
    std::lock_guard lock(mutex_);
    before = InQueueLocked();
    // Gone for good: the descriptor would poll as ready for ever, so nobody polls it.
    if (gone_) return DeviceFailure(SerialError::Disconnected);
    // Bytes that came since the last look. A queue that stays full while it is read
    // does not grow, so a read since the last report counts as news too.
    uint32_t events = std::exchange(pendingEvents_, 0) | LineEventsLocked();
    if (before > 0 && (before > seenInQueue_ || readSinceReport_)) {
      readSinceReport_ = false;
      events |= evRxChar;
    }
    seenInQueue_ = before;
    if (events & mask) return static_cast<int>(events & mask);
  }
  // Wait for input only when the queue is empty: bytes that wait because nobody
  // takes them must not wake us over and over. A hang-up is reported either way.
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, short(before == 0 ? POLLIN : 0), 0}};
  int timeout = static_cast<int>(std::min(timeoutMs, kLinePollMs));
  int r = ::poll(fds, 2, timeout);
  if (r < 0 && errno != EINTR) return DeviceFailure(PosixCause(errno, false));
  std::lock_guard lock(mutex_);
  if (fd_.load() < 0) return 0;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
  }
  // The kernel hangs the line up when the adapter goes or the pty's other side
  // closes; it never comes back on this descriptor.
  if (fds[1].revents & (POLLHUP | POLLERR)) gone_ = true;
  if (gone_) return DeviceFailure(SerialError::Disconnected);
  uint32_t events = std::exchange(pendingEvents_, 0) | LineEventsLocked();
  int after = InQueueLocked();
  if (after > 0 && (after > seenInQueue_ || readSinceReport_)) {
    events |= evRxChar;
    readSinceReport_ = false;
  }
  seenInQueue_ = after;
  return static_cast<int>(events & mask);
}

void PosixDevice::CancelWaits() {
  std::lock_guard lock(mutex_);
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] auto a = ::write(wakeFd_, &one, sizeof one);
  [[maybe_unused]] auto b = ::write(txWakeFd_, &one, sizeof one);
}

int PosixDevice::Read(void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  if (fd < 0) return DeviceFailure(SerialError::NotOpen);
  if (gone_) return DeviceFailure(SerialError::Disconnected);
  ssize_t r = ::read(fd, buf, n);
  int err = errno;
  seenInQueue_ = InQueueLocked();
  if (r > 0) readSinceReport_ = true;
  if (r >= 0) return static_cast<int>(r);
  if (err == EAGAIN || err == EINTR) return 0;
  return FailLocked(err);
}

int PosixDevice::Write(const void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  if (fd < 0) return DeviceFailure(SerialError::NotOpen);
  if (gone_) return DeviceFailure(SerialError::Disconnected);
  ssize_t r = ::write(fd, buf, n);
  if (r >= 0) return static_cast<int>(r);
  if (errno == EAGAIN || errno == EINTR) return 0;
  return FailLocked(errno);
}

uint32_t PosixDevice::TransmitQueue() {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  int n = 0;
  if (fd < 0 || gone_) return 0;
  if (::ioctl(fd, TIOCOUTQ, &n) != 0) {
    if (DeviceGone(errno)) gone_ = true;
    return 0;
  }
  return static_cast<uint32_t>(std::max(n, 0));
}

void PosixDevice::WaitTransmit(uint32_t maxUs) {
  // The kernel has no wake-up for "sent": sleep the short time given, unless woken.
  pollfd fds[1] = {{txWakeFd_, POLLIN, 0}};
  timespec ts{static_cast<time_t>(maxUs / 1000000), static_cast<long>(maxUs % 1000000) * 1000};
  if (fd_.load() < 0 || fds[0].fd < 0) return;
  if (::ppoll(fds, 1, &ts, nullptr) > 0) {
    uint64_t count;
    [[maybe_unused]] auto n = ::read(txWakeFd_, &count, sizeof count);
  }
}

uint32_t PosixDevice::ClearError(TComStat* stat) {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  if (fd < 0 || gone_) return 0;
  pendingEvents_ |= LineEventsLocked();
  uint32_t errors = errors_;
  errors_ = 0;
  if (stat) {
    int out = 0;
    ::ioctl(fd, TIOCOUTQ, &out);
    stat->cbInQue = static_cast<uint32_t>(InQueueLocked());
    stat->cbOutQue = static_cast<uint32_t>(std::max(out, 0));
    uint32_t modem = ModemStatusLocked();
    stat->ctsHold = (dcb_.outxCtsFlow || dcb_.rtsControl == kRtsControlHandshake) &&
                    !(modem & msCtsOn);
    stat->dsrHold = dcb_.outxDsrFlow && !(modem & msDsrOn);
    stat->xoffHold = false;
  }
  return errors;
}

int PosixDevice::Purge(uint32_t flags) {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  if (fd < 0) return DeviceFailure(SerialError::NotOpen);
  if (gone_) return DeviceFailure(SerialError::Disconnected);
  // A pty has no transmitter: what it took is the other side's already, and its
  // output flush would throw away bytes the other side has not read yet.
  bool tx = (flags & (purgeTxAbort | purgeTxClear)) && !isPty_;
  bool rx = flags & (purgeRxAbort | purgeRxClear);
  int which = tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH;
  if ((tx || rx) && ::tcflush(fd, which) != 0) return FailLocked(errno);
  return 0;
}

int PosixDevice::EscapeFunction(int func) {
  std::lock_guard lock(mutex_);
  int fd = fd_.load();
  if (fd < 0 || gone_) return 0;
  switch (func) {
    case efSetRts: SetModemLineLocked(TIOCM_RTS, true); break;
    case efClrRts: SetModemLineLocked(TIOCM_RTS, false); break;
    case efSetDtr: SetModemLineLocked(TIOCM_DTR, true); break;
    case efClrDtr: SetModemLineLocked(TIOCM_DTR, false); break;
    case efSetBreak: ::ioctl(fd, TIOCSBRK); break;
    case efClrBreak: ::ioctl(fd, TIOCCBRK); break;
    case efSetXoff: ::tcflow(fd, TCOOFF); break;
    case efSetXon: ::tcflow(fd, TCOON); break;
    default: break;
  }
  return 0;
}

}  // namespace zarnik
