// Bytes sent, rate and time left from the transfer's steps, and their text.
#include "script/transfer_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zarnik {
namespace {

TEST(TransferMeter, BytesFollowTheStepsNotTheBar) {
  struct Case {
    int64_t size;
    int steps;
    int64_t sent;
  } cases[] = {
      {0, 1, 0},        // an empty file steps once and sends nothing
      {1999, 1, 1999},  // one short block
      {2000, 1, 2000},  // one whole block, no rest
      {4001, 2, 4000},  // the bar is full here (maximum 2) ...
      {4001, 3, 4001},  // ... but the rest block still went out
      {4001, 9, 4001},  // never more than the file
  };
  for (const auto& c : cases) {
    TransferMeter m;
    m.Start(1000, c.size);
    for (int i = 0; i < c.steps; ++i) m.Step(1000 + 10 * (i + 1));
    EXPECT_EQ(m.BytesSent(), c.sent) << c.size << " bytes, " << c.steps << " steps";
  }
}

TEST(TransferMeter, RateAndTimeLeftAreTheAverageSinceTheStart) {
  TransferMeter m;
  m.Start(5000, 10000);
  EXPECT_FALSE(m.RateKnown());  // nothing sent yet
  m.Step(5000);
  EXPECT_FALSE(m.RateKnown());  // no time has passed: no rate to divide by
  m.Step(5400);                 // 4000 bytes in 0.4 s
  ASSERT_TRUE(m.RateKnown());
  EXPECT_DOUBLE_EQ(m.BytesPerSecond(), 10000);
  EXPECT_DOUBLE_EQ(m.SecondsLeft(), 0.6);
  EXPECT_DOUBLE_EQ(m.SecondsSoFar(), 0.4);
  for (int t = 5600; t <= 6000; t += 200) m.Step(t);
  EXPECT_EQ(m.BytesSent(), 10000);
  EXPECT_DOUBLE_EQ(m.SecondsLeft(), 0);

  m.Start(7000, 3);  // a new file starts afresh
  EXPECT_EQ(m.Steps(), 0);
  EXPECT_EQ(m.BytesSent(), 0);
  m.Step(6000);  // a clock that went back is taken as no time at all
  EXPECT_FALSE(m.RateKnown());
}

TEST(TransferMeter, RateText) {
  struct Case {
    double rate;
    const char* text;
  } cases[] = {
      {0, "0 B/s"},
      {999.4, "999 B/s"},
      {999.6, "1.0 kB/s"},
      {11520, "11.5 kB/s"},
      {999949, "999.9 kB/s"},
      {999950, "1.00 MB/s"},
      {1.5e6, "1.50 MB/s"},
      {-1, "-- B/s"},
      {std::numeric_limits<double>::infinity(), "-- B/s"},
      {std::nan(""), "-- B/s"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatRate(c.rate), c.text) << c.rate;
}

TEST(TransferMeter, DurationText) {
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "0:00"},
      {0.2, "0:01"},
      {59.5, "1:00"},
      {83, "1:23"},
      {3599, "59:59"},
      {3600, "1:00:00"},
      {3723, "1:02:03"},
      {359999, "99:59:59"},
      {360000, "--:--"},
      {-1, "--:--"},
      {std::nan(""), "--:--"},
      {std::numeric_limits<double>::infinity(), "--:--"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace zarnik
