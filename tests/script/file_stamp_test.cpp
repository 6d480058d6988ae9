// Byte sum, size and date stamp of a file.
#include "script/file_stamp.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "script_rig.h"

namespace zarnik::script {
namespace {

TEST(FileChecksum, SumsBytesModulo65536) {
  struct Case {
    std::string bytes;
    uint16_t checksum;
    uint64_t size;
  } cases[] = {
      {"abc", 0x0126, 3},
      {"", 0, 0},
      {std::string(65536, '\xFF'), 0, 65536},  // 16711680: low 16 bits are 0
      {std::string(257, '\xFF'), 0xFFFF, 257},
      {std::string(100000, '\x01'), 100000 & 0xFFFF, 100000},
  };
  testing::ScratchDir dir;
  for (const auto& c : cases) {
    auto f = OpenForRead(dir.Write("f.bin", c.bytes));
    ASSERT_TRUE(f);
    FileMeasure m;
    ASSERT_TRUE(MeasureStream(f.get(), m));
    EXPECT_EQ(m.checksum, c.checksum) << c.size;
    EXPECT_EQ(m.size, c.size);
  }
}

TEST(FileChecksum, MissingFilesAndFoldersDoNotOpen) {
  testing::ScratchDir dir;
  EXPECT_FALSE(OpenForRead(dir.Path("missing.bin")));
  EXPECT_FALSE(OpenForRead(dir.Path("")));
}

// A resolver decides which file a name opens, and an empty answer is a missing file.
TEST(FileChecksum, PathResolverMapsNamesOntoFilesOfItsOwn) {
  static testing::ScratchDir dir;
  static std::string stand;
  stand = dir.Write("stand-in.bin", "xy");
  SetPathResolver(
      [](const std::string& path) { return path == "boot.bin" ? stand : std::string(); });
  OpenedFile mapped = OpenForRead("boot.bin");
  const bool other = static_cast<bool>(OpenForRead(dir.Write("real.bin", "z")));
  SetPathResolver(nullptr);
  ASSERT_TRUE(mapped);
  FileMeasure m;
  ASSERT_TRUE(MeasureStream(mapped.get(), m));
  EXPECT_EQ(m.size, 2u);
  EXPECT_FALSE(other);  // a real file the resolver does not name stays out of reach
  EXPECT_TRUE(OpenForRead(dir.Path("real.bin")));  // resolver gone: paths as given
}

TEST(FileChecksum, DataChecksumWrapsAt256) {
  const uint8_t data[] = {0xFF, 0x02, 0x10};
  EXPECT_EQ(DataChecksum8(data, 3), 0x11);
  EXPECT_EQ(DataChecksum8(data, 0), 0);
}

std::tm Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return t;
}

TEST(DateStamp, PacksTheWayDosDoesAndKeepsTheTwoSecondCount) {
  struct Case {
    std::tm local;
    const char* stamp;
  } cases[] = {
      {Local(2001, 3, 5, 9, 7, 42), "3/5/2001_9:07:21"},
      {Local(1999, 12, 31, 23, 59, 59), "12/31/1999_23:59:29"},
      {Local(1980, 1, 1, 0, 0, 0), "1/1/1980_0:00:00"},
      {Local(1975, 6, 1, 12, 0, 0), "1/1/1980_0:00:00"},  // before DOS time begins
      {Local(2107, 12, 31, 23, 59, 59), "12/31/2107_23:59:29"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateStamp(PackDosDateTime(c.local)), c.stamp);
}

TEST(DateStamp, ComesFromTheFilesLastWriteTimeInLocalTime) {
  testing::ScratchDir dir;
  std::string path = dir.Write("fw.bin", "x");
  std::tm t = Local(2001, 3, 5, 9, 7, 42);
  timeval times[2] = {{std::mktime(&t), 0}, {std::mktime(&t), 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
  auto f = OpenForRead(path);
  std::string stamp;
  ASSERT_TRUE(FileDateStamp(f.get(), stamp));
  EXPECT_EQ(stamp, "3/5/2001_9:07:21");
}

}  // namespace
}  // namespace zarnik::script
