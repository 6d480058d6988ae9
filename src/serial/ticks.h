// The serial layer's tick clock: milliseconds of the monotonic clock, counted in ticks
// of 55 ms. Timer triggers and prompt waits measure in ticks. A timer of n ticks
// started at tick s expires when the current tick exceeds s + n; the tick counter is
// 32 bits and may wrap, which the difference arithmetic allows for.
//
// It is real time on purpose: the devices and threads under it run in real time
// whatever clock the Host keeps.
//
// Threading: free functions and TTickTimer are safe from any thread (a timer object
// itself belongs to one thread).
#pragma once

#include <cstdint>

namespace zarnik {

inline constexpr uint32_t kMaxTimerTicks = 39045157;

// Milliseconds since the first use of the clock in this process.
uint64_t TickClockMs();
uint32_t TickCount();
// Seconds and ticks: 1675/92 ticks per second.
int32_t SecsToTicks(int32_t secs);
int32_t TicksToSecs(int32_t ticks);

class TTickTimer {
 public:
  void Start(int32_t ticks);
  bool Expired() const;
  // The same at a given tick count (the counter may have wrapped since the start).
  void StartAt(uint32_t nowTick, int32_t ticks);
  bool ExpiredAt(uint32_t nowTick) const;
  // Milliseconds until the timer expires (0 when it has).
  uint64_t RemainingMs() const;

 private:
  uint32_t startTick_ = 0;
  uint32_t ticks_ = 0;
};

}  // namespace zarnik
