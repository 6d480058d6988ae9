#include "serial/device_sim.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace zarnik {

namespace {
constexpr const char* kSimPrefix = "sim:";

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<SimNullModem>>& Registry() {
  static std::map<std::string, std::weak_ptr<SimNullModem>> r;
  return r;
}
}  // namespace

// ---------------------------------------------------------------- the line

std::shared_ptr<SimNullModem> SimNullModem::Create(const std::string& name) {
  std::shared_ptr<SimNullModem> modem(new SimNullModem(kSimPrefix + name));
  std::lock_guard lock(RegistryMutex());
  Registry()[modem->path_] = modem;
  return modem;
}

SimNullModem::SimNullModem(std::string path) : path_(std::move(path)) {
  toPeer_.txCap = 4096;
  toPort_.rxCap = inSize_;
}

SimNullModem::~SimNullModem() {
  std::lock_guard lock(RegistryMutex());
  auto it = Registry().find(path_);
  if (it != Registry().end() && it->second.expired()) Registry().erase(it);
}

int64_t SimNullModem::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t SimNullModem::CharNsLocked() const {
  uint32_t baud = std::max<uint32_t>(dcb_.baudRate, 1);
  return int64_t(1'000'000'000) * BitsPerChar(dcb_) / baud;
}

bool SimNullModem::PortRtsLocked() const {
  if (!portOpen_) return false;
  return dcb_.rtsControl == kRtsControlHandshake ? rtsHandshake_ : rtsLevel_;
}

// Moves up to limit bytes from the lane's transmit queue to its receiver. A paced
// lane moves only the characters whose time has come; a lane that cannot move
// (gate closed, receiver full) lets its line idle.
size_t SimNullModem::MoveLocked(Lane& lane, bool gateOpen, size_t limit, bool dropOverflow,
                                int64_t now) {
  if (lane.tx.empty()) return 0;
  if (!gateOpen) {
    lane.lineFreeNs = std::max(lane.lineFreeNs, now);
    return 0;
  }
  size_t n = std::min(lane.tx.size(), limit);
  int64_t charNs = CharNsLocked();
  if (pacing_) {
    int64_t due = now >= lane.lineFreeNs ? (now - lane.lineFreeNs) / charNs : 0;
    n = std::min<size_t>(n, static_cast<size_t>(due));
  }
  size_t room = lane.rxCap - lane.rx.size();
  size_t deliver = dropOverflow ? n : std::min(n, room);
  size_t kept = std::min(deliver, room);
  lane.rx.insert(lane.rx.end(), lane.tx.begin(), lane.tx.begin() + kept);
  lane.tx.erase(lane.tx.begin(), lane.tx.begin() + deliver);
  if (deliver > kept) {
    errors_ |= ceRxOver;
    events_ |= evErr;
  }
  if (pacing_) lane.lineFreeNs += int64_t(deliver) * charNs;
  // A receiver that is full keeps the line idle; time spent so does not count later.
  if (deliver < n) lane.lineFreeNs = std::max(lane.lineFreeNs, now);
  return deliver;
}

bool SimNullModem::ToPeerGateLocked() const {
  return portOpen_ && !xoffHold_ && (!dcb_.outxCtsFlow || cts_) && (!dcb_.outxDsrFlow || dsr_);
}

bool SimNullModem::ToPortGateLocked() const { return !peerHonoursRts_ || PortRtsLocked(); }

void SimNullModem::UpdateRtsLocked() {
  size_t used = toPort_.rx.size();
  size_t freeBytes = inSize_ > used ? inSize_ - used : 0;
  if (freeBytes < std::max<size_t>(dcb_.xoffLim, 1))
    rtsHandshake_ = false;
  else if (used <= dcb_.xonLim)
    rtsHandshake_ = true;
}

void SimNullModem::AdvanceLocked(int64_t now) {
  MoveLocked(toPeer_, ToPeerGateLocked(), SIZE_MAX, false, now);
  // Towards the port: in steps, because every byte may change the RTS handshake.
  for (int step = 0; step < 4; ++step) {
    bool handshake = portOpen_ && dcb_.rtsControl == kRtsControlHandshake;
    size_t limit = SIZE_MAX;
    if (handshake && rtsHandshake_) {
      size_t stopAt = inSize_ - std::min<size_t>(inSize_, std::max<size_t>(dcb_.xoffLim, 1)) + 1;
      limit = stopAt > toPort_.rx.size() ? stopAt - toPort_.rx.size() : 1;
    }
    size_t moved = MoveLocked(toPort_, ToPortGateLocked(), limit, !peerHonoursRts_, now);
    if (moved == 0) break;
    if (portOpen_) events_ |= evRxChar;
    UpdateRtsLocked();
  }
}

int64_t SimNullModem::NextDueLocked(bool toPeer, bool toPort) const {
  if (!pacing_) return INT64_MAX;
  int64_t charNs = CharNsLocked();
  int64_t now = NowNs();
  int64_t due = INT64_MAX;
  auto consider = [&](const Lane& lane, bool gate) {
    bool canMove = gate && !lane.tx.empty() && lane.rx.size() < lane.rxCap;
    if (canMove) due = std::min(due, std::max(lane.lineFreeNs, now) + charNs);
  };
  if (toPeer) consider(toPeer_, ToPeerGateLocked());
  if (toPort) consider(toPort_, ToPortGateLocked());
  return due;
}

void SimNullModem::PeerWrite(const void* data, size_t n) {
  std::lock_guard lock(mutex_);
  int64_t now = NowNs();
  AdvanceLocked(now);
  if (toPort_.tx.empty()) toPort_.lineFreeNs = std::max(toPort_.lineFreeNs, now);
  auto* p = static_cast<const uint8_t*>(data);
  toPort_.tx.insert(toPort_.tx.end(), p, p + n);
  AdvanceLocked(now);
  Changed();
}

size_t SimNullModem::PeerRead(void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  n = std::min(n, toPeer_.rx.size());
  std::copy_n(toPeer_.rx.begin(), n, static_cast<uint8_t*>(buf));
  toPeer_.rx.erase(toPeer_.rx.begin(), toPeer_.rx.begin() + n);
  return n;
}

std::string SimNullModem::PeerReadAll() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  std::string out(toPeer_.rx.begin(), toPeer_.rx.end());
  toPeer_.rx.clear();
  return out;
}

size_t SimNullModem::PeerAvailable() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  return toPeer_.rx.size();
}

size_t SimNullModem::PeerPending() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  return toPort_.tx.size();
}

bool SimNullModem::PeerWaitAvailable(size_t n, uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  int64_t deadline = NowNs() + int64_t(timeoutMs) * 1'000'000;
  for (;;) {
    int64_t now = NowNs();
    AdvanceLocked(now);
    if (toPeer_.rx.size() >= n) return true;
    if (now >= deadline) return false;
    int64_t until = std::min(deadline, NextDueLocked(true, false));
    cv_.wait_for(lock, std::chrono::nanoseconds(until - now));
  }
}

void SimNullModem::SetLineLocked(bool& line, bool on, uint32_t event) {
  if (line == on) return;
  AdvanceLocked(NowNs());  // bytes due before the change go under the old level
  line = on;
  if (portOpen_) events_ |= event;
  Changed();
}

void SimNullModem::SetCts(bool on) {
  std::lock_guard lock(mutex_);
  SetLineLocked(cts_, on, evCts);
}
void SimNullModem::SetDsr(bool on) {
  std::lock_guard lock(mutex_);
  SetLineLocked(dsr_, on, evDsr);
}
void SimNullModem::SetDcd(bool on) {
  std::lock_guard lock(mutex_);
  SetLineLocked(dcd_, on, evRlsd);
}
void SimNullModem::SetRing(bool on) {
  std::lock_guard lock(mutex_);
  SetLineLocked(ring_, on, on ? evRing : evRingTe);
}

bool SimNullModem::PortRts() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  return PortRtsLocked();
}

bool SimNullModem::PortDtr() {
  std::lock_guard lock(mutex_);
  if (!portOpen_) return false;
  return dcb_.dtrControl == kDtrControlHandshake ? rtsHandshake_ : dtrLevel_;
}

bool SimNullModem::PortBreak() {
  std::lock_guard lock(mutex_);
  return breakOn_;
}

bool SimNullModem::PortOpen() {
  std::lock_guard lock(mutex_);
  return portOpen_;
}

TDcb SimNullModem::PortSettings() {
  std::lock_guard lock(mutex_);
  return dcb_;
}

size_t SimNullModem::PortReceiveQueue() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  return toPort_.rx.size();
}

void SimNullModem::InjectLineError(uint32_t ceBits) {
  std::lock_guard lock(mutex_);
  errors_ |= ceBits & kLineErrorBits;
  events_ |= evErr;
  Changed();
}

void SimNullModem::InjectBreak() {
  std::lock_guard lock(mutex_);
  errors_ |= ceBreak;
  events_ |= evBreak;
  Changed();
}

void SimNullModem::SetPeerHonoursRts(bool on) {
  std::lock_guard lock(mutex_);
  peerHonoursRts_ = on;
  AdvanceLocked(NowNs());
  Changed();
}

void SimNullModem::SetMaxBaud(uint32_t baud) {
  maxBaud_ = baud;
}

void SimNullModem::SetPacing(bool on) {
  std::lock_guard lock(mutex_);
  int64_t now = NowNs();
  AdvanceLocked(now);
  pacing_ = on;
  toPeer_.lineFreeNs = toPort_.lineFreeNs = now;
  Changed();
}

// ---------------------------------------------------------------- port side

int SimNullModem::PortAttach() {
  std::lock_guard lock(mutex_);
  if (portOpen_) return DeviceFailure(SerialError::Busy);
  AdvanceLocked(NowNs());
  portOpen_ = true;
  toPort_.rx.clear();
  toPeer_.tx.clear();
  events_ = errors_ = 0;
  rtsHandshake_ = true;
  rtsLevel_ = dtrLevel_ = breakOn_ = xoffHold_ = false;
  Changed();
  return 0;
}

void SimNullModem::PortDetach() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  portOpen_ = false;
  toPort_.rx.clear();
  toPeer_.tx.clear();
  ++cancelGen_;
  Changed();
}

void SimNullModem::PortSetup(uint32_t inSize, uint32_t outSize) {
  std::lock_guard lock(mutex_);
  inSize_ = std::max<uint32_t>(inSize, 1);
  toPort_.rxCap = inSize_;
  toPeer_.txCap = std::max<uint32_t>(outSize, 1);
  UpdateRtsLocked();
  Changed();
}

void SimNullModem::PortSetState(const TDcb& dcb) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  dcb_ = dcb;
  // As with a real driver, "enable" and "disable" control set the line.
  if (dcb.rtsControl != kRtsControlHandshake) rtsLevel_ = dcb.rtsControl == kRtsControlEnable;
  if (dcb.dtrControl != kDtrControlHandshake) dtrLevel_ = dcb.dtrControl == kDtrControlEnable;
  if (dcb.rtsControl != kRtsControlHandshake && dcb.dtrControl != kDtrControlHandshake)
    rtsHandshake_ = true;
  UpdateRtsLocked();
  AdvanceLocked(NowNs());
  Changed();
}

int SimNullModem::PortWaitEvent(uint32_t mask, uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  uint64_t gen = cancelGen_;
  int64_t deadline = NowNs() + int64_t(timeoutMs) * 1'000'000;
  for (;;) {
    int64_t now = NowNs();
    AdvanceLocked(now);
    if (uint32_t ev = events_ & mask) {
      events_ &= ~mask;
      return static_cast<int>(ev);
    }
    if (gen != cancelGen_ || now >= deadline || !portOpen_) return 0;
    // Only bytes towards the port make its events; a byte leaving it makes none, so a
    // paced transmission does not wake the comm thread for every character, as a
    // UART's would not.
    cv_.wait_for(lock,
                 std::chrono::nanoseconds(std::min(deadline, NextDueLocked(false, true)) - now));
  }
}

void SimNullModem::PortCancelWaits() {
  std::lock_guard lock(mutex_);
  ++cancelGen_;
  Changed();
}

int SimNullModem::PortReadBytes(void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  n = std::min(n, toPort_.rx.size());
  std::copy_n(toPort_.rx.begin(), n, static_cast<uint8_t*>(buf));
  toPort_.rx.erase(toPort_.rx.begin(), toPort_.rx.begin() + n);
  bool before = rtsHandshake_;
  UpdateRtsLocked();
  if (rtsHandshake_ != before) {
    toPort_.lineFreeNs = std::max(toPort_.lineFreeNs, NowNs());
    AdvanceLocked(NowNs());
    Changed();
  }
  return static_cast<int>(n);
}

int SimNullModem::PortWriteBytes(const void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  int64_t now = NowNs();
  AdvanceLocked(now);
  if (toPeer_.tx.empty()) toPeer_.lineFreeNs = std::max(toPeer_.lineFreeNs, now);
  n = std::min(n, toPeer_.txCap - std::min(toPeer_.txCap, toPeer_.tx.size()));
  auto* p = static_cast<const uint8_t*>(buf);
  toPeer_.tx.insert(toPeer_.tx.end(), p, p + n);
  AdvanceLocked(now);
  Changed();
  return static_cast<int>(n);
}

uint32_t SimNullModem::PortTransmitQueue() {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  return static_cast<uint32_t>(toPeer_.tx.size());
}

void SimNullModem::PortWaitTransmit(uint32_t maxUs) {
  std::unique_lock lock(mutex_);
  uint64_t gen = cancelGen_;
  int64_t deadline = NowNs() + int64_t(maxUs) * 1000;
  size_t start = toPeer_.tx.size();
  for (;;) {
    int64_t now = NowNs();
    AdvanceLocked(now);
    // Wake when the queue has emptied: waking for every paced byte costs too much.
    if (toPeer_.tx.empty() || toPeer_.tx.size() > start) return;
    if (gen != cancelGen_ || now >= deadline) return;
    int64_t until = deadline;
    if (pacing_)
      until = std::min(until, std::max(toPeer_.lineFreeNs, now) +
                                  int64_t(toPeer_.tx.size()) * CharNsLocked());
    cv_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(until - now, 1000)));
  }
}

uint32_t SimNullModem::PortClearError(TComStat* stat) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  uint32_t errors = errors_;
  errors_ = 0;
  if (stat) {
    stat->cbInQue = static_cast<uint32_t>(toPort_.rx.size());
    stat->cbOutQue = static_cast<uint32_t>(toPeer_.tx.size());
    stat->ctsHold = dcb_.outxCtsFlow && !cts_;
    stat->dsrHold = dcb_.outxDsrFlow && !dsr_;
    stat->xoffHold = xoffHold_;
  }
  return errors;
}

void SimNullModem::PortPurge(uint32_t flags) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  if (flags & (purgeTxAbort | purgeTxClear)) toPeer_.tx.clear();
  if (flags & (purgeRxAbort | purgeRxClear)) {
    toPort_.rx.clear();
    UpdateRtsLocked();
    AdvanceLocked(NowNs());
  }
  Changed();
}

void SimNullModem::PortEscape(int func) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(NowNs());
  switch (func) {
    case efSetRts: rtsLevel_ = true; break;
    case efClrRts: rtsLevel_ = false; break;
    case efSetDtr: dtrLevel_ = true; break;
    case efClrDtr: dtrLevel_ = false; break;
    case efSetBreak: breakOn_ = true; break;
    case efClrBreak: breakOn_ = false; break;
    case efSetXoff: xoffHold_ = true; break;
    case efSetXon: xoffHold_ = false; break;
    default: break;
  }
  AdvanceLocked(NowNs());
  Changed();
}

uint32_t SimNullModem::PortModemStatus() {
  std::lock_guard lock(mutex_);
  return (cts_ ? msCtsOn : 0) | (dsr_ ? msDsrOn : 0) | (ring_ ? msRingOn : 0) |
         (dcd_ ? msRlsdOn : 0);
}

// ---------------------------------------------------------------- the device

std::shared_ptr<SimNullModem> SimDevice::Modem() const {
  std::lock_guard lock(mutex_);
  return modem_;
}

int SimDevice::Open(const std::string& path) {
  std::shared_ptr<SimNullModem> modem;
  {
    std::lock_guard lock(RegistryMutex());
    auto it = Registry().find(path);
    if (it != Registry().end()) modem = it->second.lock();
  }
  if (!modem) return DeviceFailure(SerialError::NotFound);
  if (int r = modem->PortAttach(); r != 0) return r;
  std::lock_guard lock(mutex_);
  modem_ = std::move(modem);
  return 0;
}

void SimDevice::Close() {
  std::shared_ptr<SimNullModem> modem;
  {
    std::lock_guard lock(mutex_);
    modem.swap(modem_);
  }
  if (modem) modem->PortDetach();
}

int SimDevice::Setup(uint32_t inSize, uint32_t outSize) {
  auto m = Modem();
  if (!m) return DeviceFailure(SerialError::NotOpen);
  m->PortSetup(inSize, outSize);
  return 0;
}

int SimDevice::GetState(TDcb& dcb) {
  auto m = Modem();
  if (!m) return DeviceFailure(SerialError::NotOpen);
  dcb = m->PortSettings();
  return 0;
}

int SimDevice::SetState(const TDcb& dcb) {
  auto m = Modem();
  if (!m) return DeviceFailure(SerialError::NotOpen);
  const uint32_t maxBaud = m->maxBaud_;
  if (dcb.baudRate == 0 || (maxBaud != 0 && dcb.baudRate > maxBaud))
    return DeviceFailure(SerialError::RateRefused);
  if (dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > 4)
    return DeviceFailure(SerialError::BadSetting);
  m->PortSetState(dcb);
  return 0;
}

int SimDevice::WaitEvent(uint32_t mask, uint32_t timeoutMs) {
  auto m = Modem();
  return m ? m->PortWaitEvent(mask, timeoutMs) : DeviceFailure(SerialError::NotOpen);
}

void SimDevice::CancelWaits() {
  if (auto m = Modem()) m->PortCancelWaits();
}

int SimDevice::Read(void* buf, size_t n) {
  auto m = Modem();
  return m ? m->PortReadBytes(buf, n) : DeviceFailure(SerialError::NotOpen);
}

int SimDevice::Write(const void* buf, size_t n) {
  auto m = Modem();
  return m ? m->PortWriteBytes(buf, n) : DeviceFailure(SerialError::NotOpen);
}

uint32_t SimDevice::TransmitQueue() {
  auto m = Modem();
  return m ? m->PortTransmitQueue() : 0;
}

void SimDevice::WaitTransmit(uint32_t maxUs) {
  if (auto m = Modem()) m->PortWaitTransmit(maxUs);
}

uint32_t SimDevice::ClearError(TComStat* stat) {
  auto m = Modem();
  return m ? m->PortClearError(stat) : 0;
}

int SimDevice::Purge(uint32_t flags) {
  auto m = Modem();
  if (!m) return DeviceFailure(SerialError::NotOpen);
  m->PortPurge(flags);
  return 0;
}

int SimDevice::EscapeFunction(int func) {
  if (auto m = Modem()) m->PortEscape(func);
  return 0;
}

uint32_t SimDevice::ModemStatus() {
  auto m = Modem();
  return m ? m->PortModemStatus() : 0;
}

bool IsSimDevicePath(const std::string& path) { return path.rfind(kSimPrefix, 0) == 0; }

namespace {
// "sim:" paths open a simulated line in every program that links this library.
[[maybe_unused]] const bool kSimBackendAdded = (AddDeviceBackend(kSimPrefix,
                                                [](const std::string&) {
                                                  return std::unique_ptr<SerialDevice>(
                                                      new SimDevice);
                                                }),
                               true);
}  // namespace

}  // namespace zarnik
