// The receive ring and its notice accounting, on one thread: filling in two pieces,
// reads from the reader's position, and what a notice drops when it ends.
#include "serial/rx_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "serial/serial_exceptions.h"

namespace zarnik {
namespace {

// A device that hands out the bytes of a text, as many as asked for at a time.
struct Source {
  std::string bytes;
  size_t pos = 0;
  RxRing::DeviceRead Reader() {
    return [this](uint8_t* dst, size_t n) {
      size_t k = std::min(n, bytes.size() - pos);
      std::copy_n(bytes.begin() + pos, k, dst);
      pos += k;
      return static_cast<int>(k);
    };
  }
  uint32_t Waiting() const { return static_cast<uint32_t>(bytes.size() - pos); }
};

size_t Put(RxRing& ring, const std::string& text) {
  Source s{text};
  return ring.Fill(s.Waiting(), s.Reader());
}

std::string Get(RxRing& ring, size_t n) {
  std::string out(n, '\0');
  return ring.Read(out.data(), n, true) == int(n) ? out : "<fail>";
}

TEST(RxRing, ReadsFailCleanlyBeforeAllocationAndWhenShort) {
  RxRing ring;
  char c;
  EXPECT_EQ(ring.Read(&c, 1, true), ecCommNotOpen);
  ring.Allocate();
  EXPECT_EQ(Put(ring, "abc"), 3u);
  char buf[4];
  EXPECT_EQ(ring.Read(buf, 4, true), ecBufferIsEmpty);  // more than waiting: nothing
  EXPECT_EQ(ring.Used(), 3);
  EXPECT_EQ(ring.Read(buf, 1, false, 2), 1);  // a peek past two bytes
  EXPECT_EQ(buf[0], 'c');
  EXPECT_EQ(Get(ring, 3), "abc");
  ring.Release();
  EXPECT_EQ(ring.Used(), 0);
  EXPECT_FALSE(ring.CharReady());
}

TEST(RxRing, ExactlyAFullRingArrivingAtOnceFillsItAndStopsFilling) {
  RxRing ring;
  ring.Allocate();
  std::string all(RxRing::kSize, 'x');
  all += "overflow";
  Source s{all};
  EXPECT_EQ(ring.Fill(s.Waiting(), s.Reader()), size_t(RxRing::kSize));
  EXPECT_TRUE(ring.Full());
  EXPECT_EQ(ring.Used(), int(RxRing::kSize));
  EXPECT_EQ(ring.Fill(s.Waiting(), s.Reader()), 0u);  // full: the driver keeps the rest
  EXPECT_EQ(s.Waiting(), 8u);
  EXPECT_EQ(Get(ring, 1), "x");
  EXPECT_FALSE(ring.Full());
}

TEST(RxRing, FillingWrapsInTwoPieces) {
  RxRing ring;
  ring.Allocate();
  ASSERT_EQ(Put(ring, std::string(RxRing::kSize - 3, '.')), RxRing::kSize - 3);
  ASSERT_EQ(Get(ring, RxRing::kSize - 5).size(), RxRing::kSize - 5);
  // Two dots wait; three bytes fit before the end, two more at the start.
  EXPECT_EQ(Put(ring, "ABCDE"), 5u);
  EXPECT_EQ(Get(ring, 7), "..ABCDE");
}

// Notices: each consumer reads from the oldest byte afresh; the ring drops what the
// one that read most took.
struct NoticeCase {
  const char* name;
  std::vector<size_t> reads;  // bytes each consumer reads of the notice
  size_t leftAfter;
  bool consumed;
};

TEST(RxRing, ANoticeDropsWhatTheConsumerThatReadMostTook) {
  const NoticeCase cases[] = {
      {"4 and 10 of 10", {4, 10}, 0, true},
      {"4 of 10", {4}, 6, false},
      {"3 and 5 of 10", {3, 5}, 5, false},
      {"nothing read", {0}, 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RxRing ring;
    ring.Allocate();
    Put(ring, "0123456789");
    size_t count;
    ASSERT_TRUE(ring.TakeAnnouncement(1, count));
    EXPECT_EQ(count, 10u);
    ring.BeginNotice(true);
    for (size_t n : c.reads) {
      uint64_t call = ring.BeginConsumer();
      ring.SetReader(call, true);
      EXPECT_EQ(Get(ring, n), std::string("0123456789").substr(0, n));
      ring.SetReader(call, false);
      ring.EndConsumer();
    }
    EXPECT_EQ(ring.EndNotice(false, true, count), c.consumed);
    EXPECT_EQ(ring.Used(), int(c.leftAfter));
    // What was not read comes again only with a new byte, counted together.
    EXPECT_FALSE(ring.TakeAnnouncement(1, count));
    Put(ring, "X");
    EXPECT_TRUE(ring.TakeAnnouncement(1, count));
    EXPECT_EQ(count, c.leftAfter + 1);
  }
}

TEST(RxRing, FlushInsideANoticeDropsEverythingWhenItEnds) {
  RxRing ring;
  ring.Allocate();
  Put(ring, "stale prompt>");
  ring.BeginNotice(true);
  uint64_t call = ring.BeginConsumer();
  ring.SetReader(call, true);
  EXPECT_EQ(Get(ring, 5), "stale");
  ring.Flush();
  EXPECT_EQ(ring.Used(), 13);  // still there for the other consumers of this notice
  ring.SetReader(call, false);
  ring.EndConsumer();
  EXPECT_TRUE(ring.EndNotice(false, true, 13));
  EXPECT_EQ(ring.Used(), 0);
}

TEST(RxRing, ReadsOutsideTheConsumerBeingCalledArePlain) {
  RxRing ring;
  ring.Allocate();
  Put(ring, "ABCD");
  ring.BeginNotice(true);
  uint64_t first = ring.BeginConsumer();
  ring.SetReader(first, true);
  EXPECT_EQ(Get(ring, 2), "AB");  // a notice read: the tail stays
  EXPECT_EQ(ring.Used(), 4);
  ring.EndConsumer();            // the dispatcher moves on; the handler runs on
  EXPECT_EQ(Get(ring, 1), "A");  // now a plain read from the tail
  EXPECT_EQ(ring.Used(), 3);
  ring.SetReader(first, false);
  ring.SetReader(first, true);  // a stale call is never a reader again
  EXPECT_EQ(Get(ring, 1), "B");
  uint64_t second = ring.BeginConsumer();
  ring.SetReader(second, true);
  EXPECT_EQ(Get(ring, 2), "CD");  // from the oldest byte still waiting
  ring.SetReader(second, false);
  ring.EndConsumer();
  EXPECT_TRUE(ring.EndNotice(false, true, 4));
  EXPECT_EQ(ring.Used(), 0);
}

TEST(RxRing, AnotherThreadsReadsDuringANoticeArePlain) {
  RxRing ring;
  ring.Allocate();
  Put(ring, "ABCDEF");
  ring.BeginNotice(true);
  uint64_t call = ring.BeginConsumer();
  ring.SetReader(call, true);
  std::thread other([&] { EXPECT_EQ(Get(ring, 2), "AB"); });
  other.join();
  EXPECT_EQ(Get(ring, 3), "CDE");  // the consumer reads what is left, from its start
  ring.SetReader(call, false);
  ring.EndConsumer();
  EXPECT_FALSE(ring.EndNotice(false, true, 6));  // F was read by nobody
  EXPECT_EQ(Get(ring, 1), "F");
}

TEST(RxRing, AnAbortedNoticeDropsNothing) {
  RxRing ring;
  ring.Allocate();
  Put(ring, "keep");
  ring.BeginNotice(true);
  uint64_t call = ring.BeginConsumer();
  ring.SetReader(call, true);
  Get(ring, 4);
  ring.EndConsumer();
  EXPECT_FALSE(ring.EndNotice(true, true, 4));
  EXPECT_EQ(ring.Used(), 4);
}

TEST(RxRing, DataTriggersSeeEachNewByteOnceWithItsDistanceFromTheTail) {
  RxRing ring;
  ring.Allocate();
  Put(ring, "ab");
  std::string seen;
  std::vector<size_t> upTo;
  auto visit = [&](uint8_t b, size_t d) {
    seen.push_back(char(b));
    upTo.push_back(d);
  };
  ring.ScanFresh(visit);
  Put(ring, "c");
  ring.ScanFresh(visit);
  ring.ScanFresh(visit);
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(upTo, (std::vector<size_t>{1, 2, 3}));
}

}  // namespace
}  // namespace zarnik
