#include "terminal/byte_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zarnik {
namespace {

std::string ReadAll(TByteQueue& q) {
  std::string s(q.Pending(), '\0');
  s.resize(q.Read(s.data(), s.size()));
  return s;
}

struct GrowthCase {
  std::vector<size_t> appends;
  size_t capacity;
};

class QueueGrowthTest : public testing::TestWithParam<GrowthCase> {};

TEST_P(QueueGrowthTest, CapacityDoublesUntilThePendingBytesFit) {
  TByteQueue q;
  std::string expected;
  char next = 'a';
  for (size_t n : GetParam().appends) {
    std::string part(n, next++);
    q.Append(part.data(), part.size());
    expected += part;
  }
  EXPECT_EQ(q.Capacity(), GetParam().capacity);
  EXPECT_EQ(ReadAll(q), expected);
}

INSTANTIATE_TEST_SUITE_P(Appends, QueueGrowthTest,
                         testing::Values(GrowthCase{{}, 64}, GrowthCase{{64}, 64},
                                         GrowthCase{{64, 1}, 128}, GrowthCase{{10, 55}, 128},
                                         GrowthCase{{1, 300}, 512}, GrowthCase{{5000}, 8192}));

TEST(ByteQueue, PartialReadKeepsTheRestInOrderAndRoomAtTheEnd) {
  TByteQueue q;
  q.Append("abcdefgh", 8);
  char buf[8];
  ASSERT_EQ(q.Read(buf, 3), 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  q.Append(std::string(59, 'x').data(), 59);  // 5 + 59 = 64: fits without growing
  EXPECT_EQ(q.Capacity(), 64u);
  EXPECT_EQ(ReadAll(q), "defgh" + std::string(59, 'x'));
  EXPECT_EQ(q.Pending(), 0u);
  EXPECT_EQ(q.Read(buf, 8), 0u);
}

TEST(ByteQueue, AppendFromKeepsWhatTheReaderDelivered) {
  TByteQueue q;
  size_t got = q.AppendFrom(100, [](uint8_t* dst, size_t n) {
    EXPECT_EQ(n, 100u);
    for (size_t i = 0; i < 40; ++i) dst[i] = 'r';
    return size_t{40};
  });
  EXPECT_EQ(got, 40u);
  EXPECT_EQ(q.Capacity(), 128u);  // room for the announced block was made first
  EXPECT_EQ(ReadAll(q), std::string(40, 'r'));
  EXPECT_EQ(q.AppendFrom(10, [](uint8_t*, size_t n) { return n + 5; }),
            10u);  // never more than asked
}

// Two writers (the data handler and WriteString) and the window thread draining in
// uneven bites while the block keeps growing; run under ThreadSanitizer as well.
TEST(ByteQueue, ConcurrentAppendsAndRemovalsLoseAndReorderNothing) {
  TByteQueue q;
  constexpr int kPerWriter = 20000;
  auto writer = [&](uint8_t tag, bool viaFill) {
    for (int i = 0; i < kPerWriter; ++i) {
      uint8_t rec[2] = {tag, static_cast<uint8_t>(i & 0x7F)};
      if (viaFill) {
        q.AppendFrom(2, [&](uint8_t* dst, size_t) {
          dst[0] = rec[0];
          dst[1] = rec[1];
          return size_t{2};
        });
      } else {
        q.Append(rec, 2);
      }
    }
  };
  std::thread a(writer, uint8_t{0x80}, true);
  std::thread b(writer, uint8_t{0x81}, false);

  // Records are two bytes appended whole; the reader may split them.
  std::vector<uint8_t> got;
  std::vector<uint8_t> buf(97);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got.size() < 4u * kPerWriter && std::chrono::steady_clock::now() < deadline) {
    size_t n = q.Read(buf.data(), 1 + got.size() % buf.size());
    got.insert(got.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
    if (n == 0) std::this_thread::yield();
  }
  a.join();
  b.join();
  ASSERT_EQ(got.size(), 4u * kPerWriter);
  int next[2] = {0, 0};
  for (size_t i = 0; i < got.size(); i += 2) {
    ASSERT_TRUE(got[i] == 0x80 || got[i] == 0x81) << i;
    int w = got[i] - 0x80;
    ASSERT_EQ(got[i + 1], next[w] & 0x7F) << "writer " << w << " record " << next[w];
    ++next[w];
  }
  EXPECT_EQ(next[0], kPerWriter);
  EXPECT_EQ(next[1], kPerWriter);
}

}  // namespace
}  // namespace zarnik
