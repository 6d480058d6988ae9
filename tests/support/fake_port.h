// A serial port and a PCI board on virtual time, wired to the simulated unit.
//
// FakePort keeps the port contract's promises with a model of the line: an output
// buffer of OutSize bytes that drains towards the unit at a set rate while CTS is
// up, and a receive buffer that the unit's answers fill when their time comes. A
// data-available notice is posted to the window thread when bytes arrive, except
// while WaitForString runs, as the real port does. Everything is recorded so tests
// can assert on the wire.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/board_port.h"
#include "platform/virtual_host.h"
#include "serial/port_contract.h"
#include "sim_unit.h"

namespace zarnik::testing {

class FakePort : public PortContract, private MessageTarget {
 public:
  static constexpr uint16_t kOutSize = 4096;
  static constexpr uint32_t kNoticeMsg = 0x7E01;
  static constexpr uint32_t kWakeMsg = 0x7E7F;

  FakePort(VirtualHost& host, sim::SimUnit& unit);
  ~FakePort() override;

  void SetComNumber(uint16_t n) override { comNumber_ = n; }
  uint16_t GetComNumber() const override { return comNumber_; }
  void SetBaud(int32_t baud) override;
  int32_t GetBaud() const override { return baud_; }
  void SetParity(TParity p) override { parity_ = p; }
  TParity GetParity() const override { return parity_; }
  void SetDataBits(uint16_t b) override { dataBits_ = b; }
  uint16_t GetDataBits() const override { return dataBits_; }
  void SetStopBits(uint16_t b) override { stopBits_ = b; }
  uint16_t GetStopBits() const override { return stopBits_; }

  void SetOpen(bool open) override;
  bool GetOpen() const override { return open_; }

  void PutChar(char c) override { PutBlock(&c, 1); }
  void PutString(std::string_view s) override;
  void PutBlock(const void* buf, uint16_t len) override;
  uint16_t GetOutBuffFree() override;
  uint16_t GetOutBuffUsed() override;
  bool GetCTS() override;
  void FlushInBuffer() override;
  void FlushOutBuffer() override;
  void GetBlock(void* buf, uint16_t len) override;
  bool WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                     bool ignoreCase) override;
  // Wakes the queue when the output empties or CTS is let go, as the real port does.
  void SetOutputWatch(bool on) override { outputWatch_ = on; }
  void CheckLine() override;
  void EndWait() override;

  // ---- The line model ----
  // Bytes per millisecond leaving the output buffer; set from the baud rate (10 bits a
  // byte) by SetBaud, or directly.
  void SetDrainBytesPerMs(double rate) { drainPerMs_ = rate; }
  void HoldCtsLow(bool low);
  // A port without hardware flow control sends whatever CTS says.
  void SetDrainIgnoresCts(bool ignore) { drainIgnoresCts_ = ignore; }
  // Bytes arriving from the line now, as one block, outside the unit model.
  void InjectReceived(std::string_view bytes);
  // Makes the next opens fail with this exception code (0: opens succeed).
  void FailOpenWith(int code) { failOpen_ = code; }
  // The device goes away (a cable pulled): until the port is closed, the line
  // operations raise EPortDisconnected naming `device`, and a wait in the queue is
  // woken. The After form pulls it once the unit has been handed `bytes` in all.
  void Unplug(const std::string& device);
  void UnplugAfterDelivered(size_t bytes, const std::string& device);
  // When it was pulled (virtual ms), or UINT64_MAX.
  uint64_t UnpluggedAtMs() const { return unpluggedAtMs_; }

  // ---- What went over the wire ----
  struct Chunk {
    uint64_t atMs;
    std::string bytes;
  };
  const std::vector<Chunk>& Puts() const { return puts_; }
  std::string SentText() const;
  // Bytes the port delivered to the unit, in order.
  const std::string& Delivered() const { return delivered_; }
  // How often the output buffer's fill and CTS were asked for (a waiter that polls
  // asks thousands of times a block).
  size_t StatusQueries() const { return statusQueries_; }
  // Sizes of the notices raised, in order.
  const std::vector<uint16_t>& Notices() const { return notices_; }
  size_t InBuffUsed() const { return rx_.size(); }
  // Bytes of the unit's output that arrived at the port, whoever read them.
  const std::string& Received() const { return received_; }

 private:
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void RequireOpen() const;
  void RequireLine() const;
  void ScheduleDrain();
  void Drain();
  void FeedUnit(const std::string& bytes);
  void ScheduleUnitOutput();
  void UnitOutput();
  void Arrive(const std::string& bytes);

  VirtualHost& host_;
  sim::SimUnit& unit_;
  uint16_t comNumber_ = 1;
  int32_t baud_ = 38400;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8, stopBits_ = 1;
  bool open_ = false;
  int failOpen_ = 0;
  std::string lostDevice_;  // non-empty: unplugged
  size_t unplugAfter_ = SIZE_MAX;
  uint64_t unpluggedAtMs_ = UINT64_MAX;
  std::string unplugDevice_;
  double drainPerMs_ = 3.84;
  double drainCredit_ = 0;
  bool ctsHeldLow_ = false;
  bool drainIgnoresCts_ = false;
  bool outputWatch_ = false;
  size_t statusQueries_ = 0;
  std::deque<uint8_t> tx_;
  std::deque<uint8_t> rx_;
  bool drainScheduled_ = false;
  uint64_t unitEvent_ = 0;  // pending event id for the unit's next output
  uint64_t unitEventAt_ = UINT64_MAX;
  bool inWait_ = false;
  bool endWait_ = false;
  bool noticePosted_ = false;
  std::vector<Chunk> puts_;
  std::string delivered_;
  std::string received_;
  std::vector<uint16_t> notices_;
};

// A PCI board whose mailbox hands bytes to the unit at once and polls its answers.
class FakeBoard : public BoardPort {
 public:
  FakeBoard(VirtualHost& host, sim::SimUnit& unit) : host_(host), unit_(unit) {}
  int PutByte(uint8_t b) override;
  int PutText(const char* text) override;
  int GetByte(uint8_t* b) override;
  void ResetReceive() override { pending_.clear(); ++resets; }

  // The next `busyOffers` offers are refused (busy).
  int busyOffers = 0;
  int offers = 0;
  int resets = 0;
  std::string sent;

 private:
  VirtualHost& host_;
  sim::SimUnit& unit_;
  std::string pending_;
};

}  // namespace zarnik::testing
