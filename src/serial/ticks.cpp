#include "serial/ticks.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/host.h"

namespace zarnik {

namespace {
std::chrono::steady_clock::time_point ClockStart() {
  static const auto start = std::chrono::steady_clock::now();
  return start;
}
}  // namespace

uint64_t TickClockMs() {
  auto elapsed = std::chrono::steady_clock::now() - ClockStart();
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

uint32_t TickCount() { return static_cast<uint32_t>(TickClockMs() / kTickMs); }

int32_t SecsToTicks(int32_t secs) {
  // Saturates: a long time must not come back as a short (or negative) one.
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t(secs) * 1675 / 92, INT32_MIN, INT32_MAX));
}
int32_t TicksToSecs(int32_t ticks) { return static_cast<int32_t>(int64_t(ticks) * 92 / 1675); }

void TTickTimer::Start(int32_t ticks) { StartAt(TickCount(), ticks); }

void TTickTimer::StartAt(uint32_t nowTick, int32_t ticks) {
  startTick_ = nowTick;
  ticks_ = static_cast<uint32_t>(std::clamp<int64_t>(ticks, 0, kMaxTimerTicks));
}

bool TTickTimer::Expired() const { return ExpiredAt(TickCount()); }

// Unsigned difference: right across a wrap of the counter.
bool TTickTimer::ExpiredAt(uint32_t nowTick) const { return nowTick - startTick_ > ticks_; }

uint64_t TTickTimer::RemainingMs() const {
  uint64_t expiresAtMs = (uint64_t(startTick_) + ticks_ + 1) * kTickMs;
  uint64_t now = TickClockMs();
  return expiresAtMs > now ? expiresAtMs - now : 0;
}

}  // namespace zarnik
