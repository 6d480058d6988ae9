// A simulated null modem: two ends of a serial line in memory. The port's end is a
// SerialDevice opened by path ("sim:NAME", see SimNullModem::Create); the far end is
// driven by the test (or a simulated unit) through SimNullModem's Peer* calls.
//
// How it works: each direction is a lane with the sender's transmit queue and the
// receiver's queue. Bytes move when the lane's gate is open (the port's CTS when it
// requires CTS; the port's RTS when the far end honours it) and the receiver has room.
// With pacing on, a byte needs the time of one character at the port's line settings
// (start, data, parity and stop bits), so both directions run at line rate; without
// pacing they move at once. Nothing runs in the background: every call first brings
// the lanes up to the present, and waits sleep until the next byte is due.
//
// The port's driver receive queue holds InSize bytes (SetupCom); with the RTS
// handshake it drops RTS when fewer than XoffLim bytes are free and raises it again at
// XonLim queued bytes. A far end that ignores RTS overruns a full queue (receive
// overflow). Modem lines the port sees (CTS, DSR, DCD, RI), breaks and line errors are
// set by the far end.
//
// Threading: everything is guarded by one mutex; any thread may call anything.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "serial/serial_device.h"

namespace zarnik {

class SimNullModem {
 public:
  // Registers the line under "sim:NAME" for as long as the returned object lives.
  static std::shared_ptr<SimNullModem> Create(const std::string& name);
  ~SimNullModem();
  SimNullModem(const SimNullModem&) = delete;
  SimNullModem& operator=(const SimNullModem&) = delete;
  const std::string& Path() const { return path_; }

  // ---- The far end ----
  // Queues bytes; they reach the port as the line allows.
  void PeerWrite(const void* data, size_t n);
  void PeerWrite(const std::string& text) { PeerWrite(text.data(), text.size()); }
  size_t PeerRead(void* buf, size_t n);
  std::string PeerReadAll();
  size_t PeerAvailable();
  // Bytes the far end has written that have not reached the port's driver yet.
  size_t PeerPending();
  // Waits until at least n bytes can be read at the far end.
  bool PeerWaitAvailable(size_t n, uint32_t timeoutMs);

  // Lines the port sees. All but RI start asserted.
  void SetCts(bool on);
  void SetDsr(bool on);
  void SetDcd(bool on);
  void SetRing(bool on);
  // What the port drives.
  bool PortRts();
  bool PortDtr();
  bool PortBreak();
  bool PortOpen();
  TDcb PortSettings();
  // Bytes waiting in the port's driver receive queue.
  size_t PortReceiveQueue();

  // Errors the port's driver reports (ceRxParity, ceFrame, ceOverrun, ...).
  void InjectLineError(uint32_t ceBits);
  void InjectBreak();
  // When false the far end sends whatever the port's RTS says (default true).
  void SetPeerHonoursRts(bool on);
  // Line-rate pacing at the port's configured settings, both directions.
  void SetPacing(bool on);
  // The fastest rate the line's UART takes (0: any); a faster one is refused.
  void SetMaxBaud(uint32_t baud);

 private:
  friend class SimDevice;
  struct Lane {
    std::deque<uint8_t> tx;
    std::deque<uint8_t> rx;
    size_t txCap = SIZE_MAX;
    size_t rxCap = SIZE_MAX;
    int64_t lineFreeNs = 0;  // when the line can start the next character
  };

  explicit SimNullModem(std::string path);
  static int64_t NowNs();
  int64_t CharNsLocked() const;
  bool PortRtsLocked() const;
  bool ToPeerGateLocked() const;
  bool ToPortGateLocked() const;
  void AdvanceLocked(int64_t now);
  size_t MoveLocked(Lane& lane, bool gateOpen, size_t limit, bool dropOverflow, int64_t now);
  void UpdateRtsLocked();
  // When the next byte of the lanes asked for is due to move.
  int64_t NextDueLocked(bool toPeer, bool toPort) const;
  void SetLineLocked(bool& line, bool on, uint32_t event);
  void Changed() { cv_.notify_all(); }

  // Port side, for SimDevice.
  int PortAttach();
  void PortDetach();
  void PortSetup(uint32_t inSize, uint32_t outSize);
  void PortSetState(const TDcb& dcb);
  int PortWaitEvent(uint32_t mask, uint32_t timeoutMs);
  void PortCancelWaits();
  int PortReadBytes(void* buf, size_t n);
  int PortWriteBytes(const void* buf, size_t n);
  uint32_t PortTransmitQueue();
  void PortWaitTransmit(uint32_t maxUs);
  uint32_t PortClearError(TComStat* stat);
  void PortPurge(uint32_t flags);
  void PortEscape(int func);
  uint32_t PortModemStatus();

  const std::string path_;
  std::mutex mutex_;
  std::condition_variable cv_;
  Lane toPeer_;
  Lane toPort_;
  TDcb dcb_;
  bool portOpen_ = false;
  bool cts_ = true, dsr_ = true, dcd_ = true, ring_ = false;
  bool rtsLevel_ = false, dtrLevel_ = false, breakOn_ = false, xoffHold_ = false;
  bool rtsHandshake_ = true;  // level of the handshake-driven line
  bool peerHonoursRts_ = true;
  bool pacing_ = false;
  std::atomic<uint32_t> maxBaud_{0};
  uint32_t inSize_ = 4096;
  uint32_t events_ = 0;
  uint32_t errors_ = 0;
  uint64_t cancelGen_ = 0;
};

// Whether a path names a simulated line.
bool IsSimDevicePath(const std::string& path);

// The port's end of a SimNullModem.
class SimDevice : public SerialDevice {
 public:
  ~SimDevice() override { Close(); }
  int Open(const std::string& path) override;
  void Close() override;
  bool IsOpen() const override { return static_cast<bool>(Modem()); }
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

 private:
  std::shared_ptr<SimNullModem> Modem() const;
  mutable std::mutex mutex_;
  std::shared_ptr<SimNullModem> modem_;  // set by Open, cleared by Close
};

}  // namespace zarnik
