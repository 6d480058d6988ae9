// The POSIX device: real serial ports, USB adapters and ptys through termios.
//
// How it works: Open takes the device exclusively (TIOCEXCL, and a non-blocking
// flock, which also holds against root and other programs that lock), keeps the
// original termios to restore on Close, and puts the line in raw, non-blocking mode.
// Reads and writes never block. WaitEvent polls the descriptor with a short time-out
// and turns what it sees into comm events: new bytes in the receive queue, changes of
// the modem lines (TIOCMGET), breaks and line errors (the driver's TIOCGICOUNT
// counters, where it keeps them). A device without modem lines (a pty) reports CTS,
// DSR and DCD asserted. A device that goes away under us (a USB adapter pulled out, a
// pty whose other side closed) is hung up by the kernel: it polls as hung up and its
// calls fail with EIO, ENXIO or ENODEV. From then on the device is gone: WaitEvent
// and every call that needs the line answer Disconnected at once, without touching
// the descriptor again, and the lines read as down. A pty has no transmit queue of
// its own (what it takes is in the other side's input), so purging its output does
// nothing.
//
// Rates: the standard termios rates (up to 4000000) by their B-constants, any other
// by the kernel's custom-rate request; a rate the driver refuses, or sets more than
// 2% away, is RateRefused and leaves the line as it was.
//
// What termios cannot say is kept in the settings record and answered back as set:
// DSR flow control, DTR handshake and the XON/XOFF thresholds have no Linux
// counterpart; either CTS flow or RTS handshake switches CRTSCTS on, which does both.
//
// Threading: see SerialDevice. The descriptor is closed only after the dispatcher has
// stopped the threads that wait on it; short calls take the device's mutex.
#pragma once

#include <linux/serial.h>
#include <termios.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "serial/serial_device.h"

namespace zarnik {

// The modem-line, error-counter and custom-rate requests behind the device. A pty has
// neither lines nor counters; a test gives the device its own lines (or a driver that
// refuses a rate) through this seam.
class TermiosLines {
 public:
  virtual ~TermiosLines() = default;
  // TIOCMGET; false when the device has no modem lines.
  virtual bool GetModemBits(int fd, int& bits);
  // TIOCMBIS / TIOCMBIC of one TIOCM_ bit.
  virtual void SetModemBit(int fd, int bit, bool on);
  // TIOCGICOUNT; false when the driver keeps no counters.
  virtual bool GetCounters(int fd, serial_icounter_struct& counters);
  // A rate without a B-constant (termios2, BOTHER); actual: the rate the driver set.
  virtual bool SetCustomRate(int fd, uint32_t baud, uint32_t& actual);
};

// Whether Open could take the device now, asked the way Open takes it (the same
// open flags, lock and terminal check) without changing its line settings: None, or
// why Open would fail (Busy when another program holds it, NotFound when there is no
// such device, ...). Opening a real port raises its DTR and RTS lines while the test
// lasts, as any open does.
SerialError TestDeviceOpen(const std::string& path);

class PosixDevice : public SerialDevice {
 public:
  explicit PosixDevice(std::shared_ptr<TermiosLines> lines = nullptr);
  ~PosixDevice() override { Close(); }

  int Open(const std::string& path) override;
  void Close() override;
  bool IsOpen() const override { return fd_.load() >= 0; }
  int Setup(uint32_t inSize, uint32_t outSize) override;
  int GetState(TDcb& dcb) override;
  int SetState(const TDcb& dcb) override;
  int WaitEvent(uint32_t mask, uint32_t timeoutMs) override;
  void CancelWaits() override;
  int Read(void* buf, size_t n) override;
  int Write(const void* buf, size_t n) override;
  uint32_t TransmitQueue() override;
  void WaitTransmit(uint32_t maxUs) override;
  uint32_t ClearError(TComStat* stat) override;
  int Purge(uint32_t flags) override;
  int EscapeFunction(int func) override;
  uint32_t ModemStatus() override;

  // How often line changes are looked for while nothing else happens.
  static constexpr uint32_t kLinePollMs = 20;

 private:
  struct Counters {
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
  };
  bool ReadCounters(Counters& c);
  // Events from modem line and error counter changes since the last look.
  uint32_t LineEventsLocked();
  uint32_t ModemStatusLocked();
  int ApplyLocked(const TDcb& dcb);
  void SetModemLineLocked(int bit, bool on);
  int InQueueLocked();
  // The result for a failed call on the open descriptor; marks the device gone.
  int FailLocked(int err);

  std::shared_ptr<TermiosLines> lines_;
  std::mutex mutex_;
  std::atomic<int> fd_{-1};
  int wakeFd_ = -1;    // eventfds that CancelWaits signals: WaitEvent's
  int txWakeFd_ = -1;  // and WaitTransmit's
  termios original_{};
  TDcb dcb_;
  static constexpr unsigned kPtySlaveMajor = 136;
  bool isPty_ = false;
  bool hasModemLines_ = true;
  bool hasCounters_ = true;
  bool gone_ = false;           // hung up for good; under mutex_
  int seenInQueue_ = 0;         // receive queue count at the last look
  bool readSinceReport_ = false;  // bytes were taken since the last data event
  uint32_t lastModem_ = 0;
  Counters lastCounters_;
  uint32_t errors_ = 0;  // accumulated line error bits, for ClearError
  // Line events seen outside WaitEvent (ClearError looks at the lines too); they
  // belong to the comm thread's next wait.
  uint32_t pendingEvents_ = 0;
  uint32_t inSize_ = 4096;
  uint32_t outSize_ = 4096;
};

// The cause behind a failed system call's errno: the one place this backend maps them.
// On an open descriptor EIO, ENXIO and ENODEV mean the device has gone.
SerialError PosixCause(int err, bool opening);

}  // namespace zarnik
