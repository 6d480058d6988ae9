#include "fake_port.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace zarnik::testing {

FakePort::FakePort(VirtualHost& host, sim::SimUnit& unit) : host_(host), unit_(unit) {
  host_.AddTarget(this);
}

FakePort::~FakePort() {
  host_.RemoveTarget(this);
  if (unitEvent_) host_.Cancel(unitEvent_);
}

void FakePort::SetBaud(int32_t baud) {
  baud_ = baud;
  drainPerMs_ = baud / 10000.0;
}

void FakePort::SetOpen(bool open) {
  if (open && failOpen_) {
    open_ = false;
    CheckException(failOpen_);
  }
  open_ = open;
  if (!open) {
    tx_.clear();
    rx_.clear();
    lostDevice_.clear();
  }
}

void FakePort::RequireOpen() const {
  if (!open_) throw ECommNotOpen();
}

void FakePort::RequireLine() const {
  RequireOpen();
  if (!lostDevice_.empty()) throw EPortDisconnected(lostDevice_);
}

void FakePort::CheckLine() {
  if (open_ && !lostDevice_.empty()) throw EPortDisconnected(lostDevice_);
}

void FakePort::Unplug(const std::string& device) {
  lostDevice_ = device;
  unpluggedAtMs_ = host_.NowMs();
  tx_.clear();
  host_.Post(this, kWakeMsg);
}

void FakePort::UnplugAfterDelivered(size_t bytes, const std::string& device) {
  unplugAfter_ = bytes;
  unplugDevice_ = device;
}

void FakePort::PutString(std::string_view s) {
  if (s.empty()) {
    RequireLine();
    return;
  }
  PutBlock(s.data(), static_cast<uint16_t>(s.size()));
}

void FakePort::PutBlock(const void* buf, uint16_t len) {
  RequireLine();
  if (len == 0) return;
  if (len > kOutSize - tx_.size()) throw EOutputBufferTooSmall();
  const auto* p = static_cast<const uint8_t*>(buf);
  tx_.insert(tx_.end(), p, p + len);
  puts_.push_back({host_.NowMs(), std::string(reinterpret_cast<const char*>(p), len)});
  ScheduleDrain();
}

uint16_t FakePort::GetOutBuffFree() {
  return open_ ? static_cast<uint16_t>(kOutSize - tx_.size()) : kOutSize;
}
uint16_t FakePort::GetOutBuffUsed() {
  ++statusQueries_;
  return open_ ? static_cast<uint16_t>(tx_.size()) : 0;
}

bool FakePort::GetCTS() {
  ++statusQueries_;
  return open_ && !ctsHeldLow_ && unit_.Cts();
}

void FakePort::HoldCtsLow(bool low) {
  if (outputWatch_ && low != ctsHeldLow_) host_.Post(this, kWakeMsg);
  ctsHeldLow_ = low;
  ScheduleDrain();
}

void FakePort::FlushInBuffer() {
  RequireLine();
  rx_.clear();
}

void FakePort::FlushOutBuffer() {
  RequireLine();
  tx_.clear();
}

void FakePort::GetBlock(void* buf, uint16_t len) {
  RequireOpen();
  if (len > rx_.size()) throw EBufferIsEmpty();
  std::copy_n(rx_.begin(), len, static_cast<uint8_t*>(buf));
  rx_.erase(rx_.begin(), rx_.begin() + len);
}

bool FakePort::WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                             bool ignoreCase) {
  RequireLine();
  if (text.empty()) return true;
  auto same = [&](char a, char b) {
    return ignoreCase ? std::toupper(static_cast<unsigned char>(a)) ==
                            std::toupper(static_cast<unsigned char>(b))
                      : a == b;
  };
  inWait_ = true;
  // A lost line throws out of the wait: nothing of it may stay behind.
  struct Done {
    FakePort& port;
    ~Done() { port.inWait_ = port.endWait_ = false; }
  } done{*this};
  const uint64_t startTick = host_.NowTicks();
  size_t matched = 0;
  bool seen = false;
  for (;;) {
    while (!rx_.empty() && !seen) {
      char c = static_cast<char>(rx_.front());
      rx_.pop_front();
      if (same(c, text[matched])) {
        seen = ++matched == text.size();
      } else {
        matched = same(c, text[0]) ? 1 : 0;
      }
    }
    if (seen || !open_ || endWait_) break;
    CheckLine();
    // Like the port's tick timer: over once the tick count exceeds start + n, so even
    // a wait of 0 ticks lasts until the current tick has passed.
    const uint64_t ticks = static_cast<uint64_t>(std::max<int32_t>(timeoutTicks, 0));
    if (host_.NowTicks() - startTick > ticks) break;
    uint32_t leftMs = static_cast<uint32_t>((startTick + ticks + 1) * kTickMs - host_.NowMs());
    if (yield)
      host_.WaitAndProcessMessages(leftMs);
    else
      host_.Sleep(1);
  }
  return seen;
}

void FakePort::EndWait() {
  if (inWait_) endWait_ = true;
}

// ---- Line model ----

void FakePort::ScheduleDrain() {
  if (drainScheduled_ || tx_.empty()) return;
  drainScheduled_ = true;
  host_.ScheduleIn(1, [this] { Drain(); });
}

void FakePort::Drain() {
  drainScheduled_ = false;
  if (!open_ || tx_.empty() || !lostDevice_.empty()) {
    drainCredit_ = 0;
    return;
  }
  if (drainIgnoresCts_ || (!ctsHeldLow_ && unit_.Cts())) {
    drainCredit_ += drainPerMs_;
    size_t n = std::min(tx_.size(), static_cast<size_t>(std::floor(drainCredit_)));
    n = std::min(n, unplugAfter_ - std::min(unplugAfter_, delivered_.size()));
    if (n > 0) {
      drainCredit_ -= static_cast<double>(n);
      std::string bytes(tx_.begin(), tx_.begin() + n);
      tx_.erase(tx_.begin(), tx_.begin() + n);
      FeedUnit(bytes);
    }
    if (delivered_.size() >= unplugAfter_) {
      unplugAfter_ = SIZE_MAX;
      Unplug(unplugDevice_);
      return;
    }
  }
  if (tx_.empty()) {
    drainCredit_ = 0;
    if (outputWatch_) host_.Post(this, kWakeMsg);
  }
  ScheduleDrain();
}

void FakePort::FeedUnit(const std::string& bytes) {
  delivered_ += bytes;
  unit_.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), host_.NowMs());
  ScheduleUnitOutput();
}

void FakePort::ScheduleUnitOutput() {
  auto next = unit_.NextOutputTime();
  if (!next) return;
  uint64_t at = std::max(*next, host_.NowMs());
  if (unitEvent_ && unitEventAt_ <= at) return;
  if (unitEvent_) host_.Cancel(unitEvent_);
  unitEventAt_ = at;
  unitEvent_ = host_.Schedule(at, [this] { UnitOutput(); });
}

void FakePort::UnitOutput() {
  unitEvent_ = 0;
  unitEventAt_ = UINT64_MAX;
  std::string out;
  unit_.TakeOutput(host_.NowMs(), out);
  Arrive(out);
  ScheduleUnitOutput();
}

void FakePort::InjectReceived(std::string_view bytes) { Arrive(std::string(bytes)); }

void FakePort::Arrive(const std::string& bytes) {
  if (bytes.empty()) return;
  received_ += bytes;
  if (!open_) return;
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  if (inWait_) {
    host_.Post(this, kWakeMsg);  // only wakes the wait; no notice while it runs
  } else if (!noticePosted_) {
    noticePosted_ = true;
    host_.Post(this, kNoticeMsg);
  }
}

intptr_t FakePort::HandleMessage(uint32_t msg, uintptr_t, intptr_t) {
  if (msg != kNoticeMsg) return 0;
  noticePosted_ = false;
  if (!open_ || rx_.empty() || inWait_) return 0;
  auto count = static_cast<uint16_t>(std::min<size_t>(rx_.size(), UINT16_MAX));
  notices_.push_back(count);
  if (OnTriggerAvail) OnTriggerAvail(*this, count);
  return 0;
}

std::string FakePort::SentText() const {
  std::string all;
  for (const auto& c : puts_) all += c.bytes;
  return all;
}

// ---- FakeBoard ----

int FakeBoard::PutByte(uint8_t b) {
  ++offers;
  if (busyOffers > 0) {
    --busyOffers;
    return 1;
  }
  sent.push_back(static_cast<char>(b));
  unit_.Receive(&b, 1, host_.NowMs());
  return 0;
}

int FakeBoard::PutText(const char* text) {
  for (; *text; ++text)
    while (PutByte(static_cast<uint8_t>(*text)) != 0) {
    }
  return 0;
}

int FakeBoard::GetByte(uint8_t* b) {
  unit_.TakeOutput(host_.NowMs(), pending_);
  if (pending_.empty()) return 1;
  *b = static_cast<uint8_t>(pending_.front());
  pending_.erase(pending_.begin());
  return 0;
}

}  // namespace zarnik::testing
