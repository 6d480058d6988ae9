// Line and flow settings and the modem and line status of the dispatcher: the DCB
// as the device takes it, the drain before a change of line settings, hardware and
// software flow control, DTR and RTS, and the status bytes the component reads.
#include <algorithm>
#include <chrono>
#include <thread>

#include "serial/dispatcher.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

// ================================================================ line settings

uint32_t TBaseDispatcher::TxSentDelayMs(const TDcb& dcb) {
  uint32_t baud = std::max<uint32_t>(dcb.baudRate, 1);
  uint64_t units = uint64_t(10000000 / baud) * BitsPerChar(dcb) * 18;  // 100 ns
  if (units < 10000) units *= 2;
  return static_cast<uint32_t>((units + 9999) / 10000);
}

int TBaseDispatcher::WaitTxSent() {
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  TDcb dcb;
  {
    std::lock_guard state(stateLock_);
    dcb = dcb_;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(TxSentDelayMs(dcb)));
  return 0;
}

int TBaseDispatcher::SetLine(int32_t baud, int parity, int dataBits, int stopBits) {
  TDcb dcb;
  {
    std::lock_guard state(stateLock_);
    dcb = dcb_;
    dcb.binary = true;
    dcb.parityCheck = false;
    dcb.dsrSensitivity = false;
    dcb.txContinueOnXoff = true;
    dcb.nullStrip = false;
    uint32_t newBaud = baud == 0 ? dcb_.baudRate : static_cast<uint32_t>(baud);
    int newParity = parity == 5 ? dcb_.parity : parity;
    int newBits = dataBits == 9 ? dcb_.byteSize : dataBits;
    uint8_t stopCode = dcb_.stopBits;
    if (stopBits != 3) {
      if (stopBits == 0) stopBits = 1;
      if (stopBits > 2) stopBits = 2;
      stopCode = stopBits == 1 ? kOneStopBit : kTwoStopBits;
    }
    if (newBits == 5) stopCode = kOne5StopBits;
    if (newBaud == dcb_.baudRate && newParity == dcb_.parity && newBits == dcb_.byteSize &&
        stopCode == dcb_.stopBits)
      return 0;
    dcb.baudRate = newBaud;
    dcb.parity = static_cast<uint8_t>(newParity);
    dcb.byteSize = static_cast<uint8_t>(newBits);
    dcb.stopBits = stopCode;
  }
  // Not under the lock: the drain may take a while and the threads need it.
  WaitTxSent();
  std::lock_guard state(stateLock_);
  return SetCommStateFix(dcb);
}

void TBaseDispatcher::GetLine(int32_t& baud, int& parity, int& dataBits, int& stopBits) {
  std::lock_guard state(stateLock_);
  baud = static_cast<int32_t>(dcb_.baudRate);
  parity = dcb_.parity;
  dataBits = dcb_.byteSize;
  stopBits = dcb_.stopBits == kTwoStopBits ? 2 : 1;
}

int TBaseDispatcher::SetCommStateFix(TDcb dcb) {
  std::lock_guard state(stateLock_);
  if (!dtrHandshake_) dcb.dtrControl = dtrOn_ ? kDtrControlEnable : kDtrControlDisable;
  if (!rtsHandshake_) dcb.rtsControl = rtsOn_ ? kRtsControlEnable : kRtsControlDisable;
  int r = SetComState(dcb);
  if (r == 0) {
    dcb_ = dcb;
    lastBaud_ = dcb.baudRate;
    charNs_ = uint64_t(BitsPerChar(dcb)) * 1000000000ull / std::max<uint32_t>(dcb.baudRate, 1);
  }
  if (!dtrHandshake_) EscapeComFunction(dtrOn_ ? efSetDtr : efClrDtr);
  if (!rtsHandshake_ && !rs485_) EscapeComFunction(rtsOn_ ? efSetRts : efClrRts);
  return r;
}

int TBaseDispatcher::SetCommBuffers(uint32_t inSize, uint32_t outSize) {
  int r = SetupCom(inSize, outSize);
  if (r < 0) return r;
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::lock_guard state(stateLock_);
  inSize_ = inSize;
  if (!tx_.Resize(std::max<uint32_t>(outSize, 1))) return ecBadArgument;
  outSize_ = static_cast<uint32_t>(tx_.Size());
  return 0;
}

int TBaseDispatcher::HWFlowOptions(uint16_t full, uint16_t resume, uint32_t flags) {
  std::lock_guard state(stateLock_);
  if (full < resume || full > inSize_) return ecBadArgument;
  TDcb dcb = dcb_;
  dcb.outxCtsFlow = dcb.outxDsrFlow = false;
  dtrHandshake_ = flags & hfUseDtr;
  rtsHandshake_ = flags & hfUseRts;
  dcb.dtrControl = dtrHandshake_ ? kDtrControlHandshake
                                 : (dtrOn_ ? kDtrControlEnable : kDtrControlDisable);
  dcb.rtsControl = rtsHandshake_ ? kRtsControlHandshake
                                 : (rtsOn_ ? kRtsControlEnable : kRtsControlDisable);
  dcb.xoffLim = static_cast<uint16_t>(inSize_ - full);
  dcb.xonLim = resume;
  dcb.outxDsrFlow = flags & hfRequireDsr;
  dcb.outxCtsFlow = flags & hfRequireCts;
  return SetCommStateFix(dcb);
}

TFlowState TBaseDispatcher::HWFlowState() {
  bool any;
  {
    std::lock_guard state(stateLock_);
    any = dcb_.outxCtsFlow || dcb_.outxDsrFlow || dtrHandshake_ || rtsHandshake_;
  }
  if (!any) return fsOff;
  TComStat stat;
  GetComError(stat);
  if (stat.ctsHold) return fsCtsHold;
  if (stat.dsrHold) return fsDsrHold;
  return fsOn;
}

int TBaseDispatcher::SWFlowEnable(uint16_t full, uint16_t resume, uint32_t flags) {
  std::lock_guard state(stateLock_);
  if (full < resume || full > inSize_) return ecBadArgument;
  TDcb dcb = dcb_;
  if (flags & sfReceive) {
    dcb.inX = true;
    dcb.xoffLim = static_cast<uint16_t>(inSize_ - full);
    dcb.xonLim = resume;
  }
  if (flags & sfTransmit) dcb.outX = true;
  dcb.xonChar = 0x11;
  dcb.xoffChar = 0x13;
  return SetCommStateFix(dcb);
}

int TBaseDispatcher::SWFlowDisable() {
  std::lock_guard state(stateLock_);
  TDcb dcb = dcb_;
  dcb.inX = dcb.outX = false;
  return SetCommStateFix(dcb);
}

TFlowState TBaseDispatcher::SWFlowState() {
  {
    std::lock_guard state(stateLock_);
    if (!dcb_.inX && !dcb_.outX) return fsOff;
  }
  TComStat stat;
  GetComError(stat);
  return stat.xoffHold ? fsXOutHold : fsOn;
}

int TBaseDispatcher::SWFlowChars(char on, char off) {
  std::lock_guard state(stateLock_);
  TDcb dcb = dcb_;
  dcb.xonChar = on;
  dcb.xoffChar = off;
  return SetCommStateFix(dcb);
}

int TBaseDispatcher::SetDtr(bool on) {
  std::lock_guard state(stateLock_);
  dtrOn_ = on;
  if (!dtrHandshake_) return EscapeComFunction(on ? efSetDtr : efClrDtr);
  return 0;
}

int TBaseDispatcher::SetRts(bool on) {
  std::lock_guard state(stateLock_);
  rtsOn_ = on;
  if (!rtsHandshake_) return EscapeComFunction(on ? efSetRts : efClrRts);
  return 0;
}

// ================================================================ status

uint32_t TBaseDispatcher::GetComError(TComStat& stat) {
  uint32_t errors = device_ ? device_->ClearError(&stat) : 0;
  stat.cbOutQue = static_cast<uint32_t>(OutBuffUsed());
  std::lock_guard status(statusLock_);
  lineErrors_ |= errors & kLineErrorBits;
  comStat_ = stat;
  return errors;
}

void TBaseDispatcher::RefreshStatus() {
  TComStat stat;
  GetComError(stat);
}

void TBaseDispatcher::UpdateModemStatus() {
  uint32_t ms = device_ ? device_->ModemStatus() : 0;
  uint8_t levels = ((ms & msCtsOn) ? kLevelCts : 0) | ((ms & msDsrOn) ? kLevelDsr : 0) |
                   ((ms & msRingOn) ? kLevelRi : 0) | ((ms & msRlsdOn) ? kLevelDcd : 0);
  uint8_t changed;
  {
    std::lock_guard status(statusLock_);
    changed = modemStatus_ ^ levels;
    uint8_t delta = modemStatus_ & 0x0F;
    if (changed & kLevelCts) delta |= kDeltaCts;
    if (changed & kLevelDsr) delta |= kDeltaDsr;
    if (changed & kLevelDcd) delta |= kDeltaDcd;
    if (ringSeen_.exchange(false)) delta |= kRingSeen;
    modemStatus_ = levels | delta;
  }
  if (changed & kLevelCts) OutputChanged();
}

uint8_t TBaseDispatcher::GetModemStatus() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  uint8_t value = modemStatus_;
  modemStatus_ &= 0xF0;
  return value;
}

namespace {
// Reads a level or change bit of the modem byte and clears the line's change bit.
bool TakeModemBit(uint8_t& status, uint8_t bit, uint8_t changeBit) {
  bool on = status & bit;
  status &= static_cast<uint8_t>(~changeBit);
  return on;
}
}  // namespace

bool TBaseDispatcher::CheckCTS() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelCts, kDeltaCts);
}
bool TBaseDispatcher::CheckDSR() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelDsr, kDeltaDsr);
}
bool TBaseDispatcher::CheckRI() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelRi, kRingSeen);
}
bool TBaseDispatcher::CheckDCD() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelDcd, kDeltaDcd);
}
bool TBaseDispatcher::CheckDeltaCTS() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaCts, kDeltaCts);
}
bool TBaseDispatcher::CheckDeltaDSR() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaDsr, kDeltaDsr);
}
bool TBaseDispatcher::CheckDeltaRI() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kRingSeen, kRingSeen);
}
bool TBaseDispatcher::CheckDeltaDCD() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaDcd, kDeltaDcd);
}

int TBaseDispatcher::GetLineError() {
  RefreshStatus();
  std::lock_guard status(statusLock_);
  static constexpr std::pair<uint32_t, int> kOrder[] = {
      {ceRxOver, 1}, {ceOverrun, 2}, {ceRxParity, 3}, {ceFrame, 4}, {ceBreak, 9}};
  int result = 0;
  for (auto [bit, code] : kOrder)
    if (lineErrors_ & bit) {
      result = code;
      break;
    }
  lineErrors_ &= ~(ceRxOver | ceOverrun | ceRxParity | ceFrame);
  return result;
}

bool TBaseDispatcher::CheckLineBreak() {
  RefreshStatus();
  std::lock_guard status(statusLock_);
  bool on = lineErrors_ & ceBreak;
  lineErrors_ &= ~ceBreak;
  return on;
}

}  // namespace zarnik
