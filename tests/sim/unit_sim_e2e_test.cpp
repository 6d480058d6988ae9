// zarnik-unit-sim end to end: the real program on a real pty, driven with plain POSIX calls.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>


namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 3000;  // generous: a loaded CI machine, never reached when all is well

// One run of the program; killed if a test leaves it running.
struct SimProcess {
  // Starts the program and reads the pty path it prints.
  bool Start(const std::vector<std::string>& args) {
    proc = std::make_unique<zarnik::testing::Process>(ZARNIK_UNIT_SIM_PATH, args);
    path = proc->ReadLine(kWaitMs);
    return !path.empty();
  }
  // Waits for the program to end by itself; its exit status, or -1.
  int Wait() { return proc->Wait(kWaitMs); }
  int Signal(int sig) {
    proc->Signal(sig);
    return Wait();
  }

  std::unique_ptr<zarnik::testing::Process> proc;
  std::string path;
};

// A client on the pty's slave side, as a serial program would open it.
class Client {
 public:
  explicit Client(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }

  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Reads until `want` has come (returns all read), or until the line goes away or time is up.
  std::string ReadUntil(const std::string& want) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (got.find(want) == std::string::npos && Clock::now() < deadline) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      char buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) {
        hungUp_ = true;
        break;
      }
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  bool HungUp() const { return hungUp_; }

 private:
  int fd_;
  bool hungUp_ = false;
};

class UnitSimE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zarnik-unit-sim-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

std::string LoadLine(const std::string& data) {
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  char line[64];
  std::snprintf(line, sizeof line, "LF 8000 %zu %x V1\r", data.size(), sum & 0xFFFF);
  return line;
}

TEST_F(UnitSimE2e, LoadsAFileThroughThePtyAndStopsCleanly) {
  SimProcess sim;
  const fs::path link = dir_ / "unit";
  ASSERT_TRUE(sim.Start({"--log", (dir_ / "log.txt").string(), "--save-images",
                         (dir_ / "images").string(),
                         "--link", link.string(), "--path-file", (dir_ / "path.txt").string()}));
  EXPECT_EQ(Slurp(dir_ / "path.txt"), sim.path + "\n");
  EXPECT_EQ(fs::read_symlink(link).string(), sim.path);

  Client client(link.string());
  ASSERT_TRUE(client.Ok());
  client.Write("\r");
  EXPECT_EQ(client.ReadUntil("#"), "\r\n#");
  client.Write("LOADR\r");
  EXPECT_EQ(client.ReadUntil(">"), "LOADR\r\nLOADER READY\r\n>");

  std::string data = "raw\r\n\r#>";
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7));
  const std::string line = LoadLine(data);
  client.Write(line + data);
  EXPECT_EQ(client.ReadUntil("LOAD OK\r\n>"), line.substr(0, line.size() - 1) + "\r\nLOAD OK\r\n>");
  EXPECT_EQ(Slurp(dir_ / "images" / "image-1.bin"), data);

  EXPECT_EQ(sim.Signal(SIGTERM), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  const std::string log = Slurp(dir_ / "log.txt");
  EXPECT_NE(log.find("LINE LOADR\n"), std::string::npos) << log;
  EXPECT_NE(log.find("IMAGE 1 word=LF address=8000 version=V1 size=" + std::to_string(data.size())),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" OK\n"), std::string::npos) << log;
}

TEST_F(UnitSimE2e, HangUpClosesTheLineAndEndsTheProgram) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--hang-up-after", "4"}));
  Client client(sim.path);
  ASSERT_TRUE(client.Ok());
  client.Write("\r");
  EXPECT_EQ(client.ReadUntil("#"), "\r\n#");
  client.Write("VER\r");
  client.ReadUntil("never comes");
  EXPECT_TRUE(client.HungUp());
  EXPECT_EQ(sim.Wait(), 0);
}

TEST_F(UnitSimE2e, BaudRatePacesTheLine) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--baud", "9600"}));
  Client client(sim.path);
  ASSERT_TRUE(client.Ok());
  client.Write("LOADR\r");
  ASSERT_NE(client.ReadUntil(">").find("LOADER READY"), std::string::npos);
  // 192 bytes at 960 bytes a second cannot be through in less than 200 ms.
  const std::string data(192, 'x');
  const std::string line = LoadLine(data);
  const auto start = Clock::now();
  client.Write(line + data);
  EXPECT_NE(client.ReadUntil("LOAD OK\r\n>").find("LOAD OK"), std::string::npos);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_EQ(sim.Signal(SIGINT), 0);
}

// Waits until the log holds `text`; the log is how the program says a signal took effect.
bool LogShows(const fs::path& log, const std::string& text) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    std::ifstream in(log, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}).find(text) != std::string::npos)
      return true;
    if (Clock::now() >= deadline) return false;
    poll(nullptr, 0, 5);
  }
}

TEST_F(UnitSimE2e, SignalsDisconnectTheUnitAndConnectAFreshOne) {
  SimProcess sim;
  const fs::path log = dir_ / "log.txt";
  ASSERT_TRUE(sim.Start({"--serial-number", "ZK-000009", "--log", log.string()}));
  Client client(sim.path);
  ASSERT_TRUE(client.Ok());
  client.Write("LOADR\rSN\r");
  EXPECT_NE(client.ReadUntil("ZK-000009\r\n>").find("SERIAL NO ZK-000009"), std::string::npos);

  sim.proc->Signal(SIGUSR1);
  ASSERT_TRUE(LogShows(log, "DISCONNECT\n"));
  client.Write("SN\r");  // heard by nobody
  ASSERT_TRUE(LogShows(log, "DISCONNECT\nLINE SN\n"));
  sim.proc->Signal(SIGUSR2);
  ASSERT_TRUE(LogShows(log, "CONNECT ZK-000010\n"));
  // Nothing from the silent unit came before the fresh one's answer, which starts in monitor mode.
  client.Write("SN\r");
  EXPECT_EQ(client.ReadUntil("#"), "SN\r\nSERIAL NO ZK-000010\r\n#");
  EXPECT_EQ(sim.Signal(SIGTERM), 0);
}

TEST_F(UnitSimE2e, RejectsBadUsage) {
  SimProcess sim;
  EXPECT_FALSE(sim.Start({"--baud", "fast"}));
  EXPECT_EQ(sim.Wait(), 2);
}

}  // namespace
