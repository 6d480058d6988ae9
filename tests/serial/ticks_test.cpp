// The tick clock at its limits: conversions that saturate, timers clamped to their
// range, and a timer that runs across a wrap of the 32-bit tick counter.
#include "serial/ticks.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/host.h"

namespace zarnik {
namespace {

TEST(Ticks, SecondsAndTicksConvertAt1675Per92) {
  struct Case {
    int32_t secs, ticks;
  } cases[] = {{0, 0},
               {1, 18},
               {92, 1675},
               {-1, -18},
               {2144, 39034},
               {INT32_MAX, INT32_MAX},
               {INT32_MIN, INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(SecsToTicks(c.secs), c.ticks) << c.secs;
  EXPECT_EQ(TicksToSecs(1675), 92);
  EXPECT_EQ(TicksToSecs(INT32_MAX), 117951340);
}

TEST(Ticks, ATimerExpiresWhenTheTickCountExceedsStartPlusItsLength) {
  struct Case {
    const char* name;
    uint32_t start;
    int32_t ticks;
    uint32_t lastLive;  // the last tick at which it has not expired
  } cases[] = {
      {"zero ticks: until the current tick has passed", 100, 0, 100},
      {"negative counts as zero", 100, -7, 100},
      {"ten ticks", 100, 10, 110},
      {"across the counter's wrap", 0xFFFFFFF0u, 20, 0x00000004u},
      {"capped at its longest", 0, INT32_MAX, kMaxTimerTicks},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTickTimer t;
    t.StartAt(c.start, c.ticks);
    EXPECT_FALSE(t.ExpiredAt(c.start));
    EXPECT_FALSE(t.ExpiredAt(c.lastLive));
    EXPECT_TRUE(t.ExpiredAt(c.lastLive + 1));
  }
}

TEST(Ticks, TheRemainingTimeOfAFreshTimerIsWithinItsLastTick) {
  TTickTimer t;
  t.Start(0);
  EXPECT_LE(t.RemainingMs(), uint64_t(kTickMs));
  t.Start(INT32_MAX);
  EXPECT_GT(t.RemainingMs(), uint64_t(kMaxTimerTicks) * kTickMs);
  EXPECT_LE(t.RemainingMs(), uint64_t(kMaxTimerTicks + 1) * kTickMs);
}

}  // namespace
}  // namespace zarnik
