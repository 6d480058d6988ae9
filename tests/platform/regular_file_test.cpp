// Files the operator names: only regular files open, within a size limit, and
// nothing that is not one can make the open or a read wait.
#include "platform/regular_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zarnik {
namespace {

namespace fs = std::filesystem;

struct Scratch {
  Scratch() : dir(fs::temp_directory_path() / ("zarnik_file_" + std::to_string(::getpid()))) {
    fs::create_directories(dir);
  }
  ~Scratch() { fs::remove_all(dir); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream((dir / name).string(), std::ios::binary) << bytes;
    return (dir / name).string();
  }
  std::string Fifo(const std::string& name) {
    std::string path = (dir / name).string();
    if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
    return path;
  }
  fs::path dir;
};

TEST(RegularFile, OnlyRegularFilesWithinTheLimitOpen) {
  Scratch s;
  struct Case {
    const char* name;
    std::string path;
    uint64_t limit;
    FileProblem problem;
    std::string reason;
  } cases[] = {
      {"a file", s.Write("a.bin", "abc"), kNoSizeLimit, FileProblem::None, ""},
      {"an empty file", s.Write("e.bin", ""), 0, FileProblem::None, ""},
      {"exactly the limit", s.Write("l.bin", "abcd"), 4, FileProblem::None, ""},
      {"one byte over", s.Write("o.bin", "abcde"), 4, FileProblem::TooLarge,
       "larger than 4 bytes"},
      {"missing", (s.dir / "missing").string(), kNoSizeLimit, FileProblem::CannotOpen,
       "No such file or directory"},
      {"empty name", "", kNoSizeLimit, FileProblem::CannotOpen, "No such file or directory"},
      {"a directory", s.dir.string(), kNoSizeLimit, FileProblem::NotRegular,
       "not a regular file"},
      // Would wait for a writer forever with a blocking open.
      {"a FIFO", s.Fifo("f"), kNoSizeLimit, FileProblem::NotRegular, "not a regular file"},
      // Never ends.
      {"/dev/zero", "/dev/zero", kNoSizeLimit, FileProblem::NotRegular, "not a regular file"},
      {"/dev/null", "/dev/null", kNoSizeLimit, FileProblem::NotRegular, "not a regular file"},
  };
  for (const auto& c : cases) {
    OpenedFile f = OpenRegularFile(c.path, c.limit);
    EXPECT_EQ(f.problem, c.problem) << c.name;
    EXPECT_EQ(f.reason, c.reason) << c.name;
    EXPECT_EQ(static_cast<bool>(f), c.problem == FileProblem::None) << c.name;
  }
}

TEST(RegularFile, ATerminalIsRefusedAndDoesNotBecomeOurs) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  OpenedFile f = OpenRegularFile(ptsname(master));
  EXPECT_EQ(f.problem, FileProblem::NotRegular);
  close(master);
}

TEST(RegularFile, AnOpenedFileReadsWithBlockingReads) {
  Scratch s;
  const std::string bytes(100000, 'z');
  OpenedFile f = OpenRegularFile(s.Write("big.bin", bytes));
  ASSERT_TRUE(f);
  std::string text;
  ASSERT_TRUE(ReadAtMost(f.get(), bytes.size(), text));
  EXPECT_EQ(text, bytes);
}

TEST(RegularFile, ReadAtMostRefusesMoreThanItsBound) {
  Scratch s;
  struct Case {
    std::string bytes;
    uint64_t max;
    bool ok;
  } cases[] = {
      {"", 0, true},
      {"x", 0, false},
      {std::string(8192, 'a'), 8192, true},  // one whole buffer, then the end
      {std::string(8193, 'a'), 8192, false},
      {std::string(20000, 'a'), 30000, true},
  };
  for (const auto& c : cases) {
    OpenedFile f = OpenRegularFile(s.Write("r.bin", c.bytes));
    ASSERT_TRUE(f);
    std::string text = "stale";
    EXPECT_EQ(ReadAtMost(f.get(), c.max, text), c.ok) << c.bytes.size() << " of " << c.max;
    if (c.ok) {
      EXPECT_EQ(text, c.bytes);
    }
  }
}

}  // namespace
}  // namespace zarnik
