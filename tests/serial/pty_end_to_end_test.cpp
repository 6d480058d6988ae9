// TComPort on a real pty: the termios device, the dispatcher's threads and the
// component together, with the test holding the far side of the line.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "serial/com_port.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

using testing::PtyPair;
using testing::PumpUntil;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (auto& c : s) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    port.SetDevicePath(pty.SlavePath());
    port.SetAutoOpen(false);
    port.SetBaud(38400);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(2000);
    port.SetBufferResume(409);
  }
  PtyPair pty;
  ConsoleHost host{testing::QuietHost()};
  TComPort port{host};
};

TEST_F(PtyPort, AMegabyteArrivesIntactAndInOrder) {
  std::string data = Pattern(1 << 20);
  std::string got;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    size_t at = got.size();
    got.resize(at + count);
    cp.GetBlock(got.data() + at, count);
  };
  port.SetOpen(true);
  std::thread peer([&] { pty.Write(data); });
  bool all = PumpUntil(host, [&] { return got.size() >= data.size(); }, 20000);
  peer.join();
  ASSERT_TRUE(all) << got.size();
  EXPECT_TRUE(got == data);
}

// The file transfer's way: each block waits until the previous one has left, and the
// output buffer is flushed after each. Nothing the pty took may be lost to a flush.
TEST_F(PtyPort, BlocksGoOutIntactTheTransferWay) {
  std::string data = Pattern(256 << 10);
  port.SetOpen(true);
  std::string received;
  std::thread peer([&] { received = pty.Read(data.size(), 20000); });
  for (size_t at = 0; at < data.size();) {
    uint16_t n = static_cast<uint16_t>(std::min<size_t>(2000, data.size() - at));
    ASSERT_GE(port.GetOutBuffFree(), n);
    port.PutBlock(data.data() + at, n);
    ASSERT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }, 5000));
    port.FlushOutBuffer();
    at += n;
  }
  peer.join();
  EXPECT_TRUE(received == data);
  EXPECT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }));
}

TEST_F(PtyPort, APromptWaitAnswersAUnitOnTheLine) {
  port.SetOpen(true);
  std::atomic<bool> stop{false};
  std::thread unit([&] {  // echoes lines and answers a carriage return with its prompt
    while (!stop) {
      std::string in = pty.Read(1, 20);
      if (in == "\r") pty.Write("\r\n>");
      else if (!in.empty()) pty.Write(in);
    }
  });
  port.FlushInBuffer();
  port.PutString("LOADR\r");
  EXPECT_TRUE(port.WaitForString(">", 20, true, false));
  port.FlushInBuffer();
  port.FlushOutBuffer();
  EXPECT_EQ(port.InBuffUsed(), 0);
  stop = true;
  unit.join();
}

TEST_F(PtyPort, ThePtyIsHeldWhileOpenAndFreeAfterClose) {
  port.SetOpen(true);
  TComPort other(host);
  other.SetDevicePath(pty.SlavePath());
  EXPECT_THROW(other.SetOpen(true), EAlreadyOpen);
  EXPECT_TRUE(port.GetCTS());  // a pty has no modem lines: asserted
  port.SetOpen(false);
  other.SetOpen(true);
  EXPECT_TRUE(other.GetOpen());
}

TEST_F(PtyPort, OpenCloseCyclesLeaveNothingBehind) {
  for (int i = 0; i < 20; ++i) {
    port.SetOpen(true);
    port.PutString("x");
    // Closing discards what has not gone out yet; let it go first.
    ASSERT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }));
    port.SetOpen(false);
  }
  EXPECT_EQ(pty.Read(20, 1000), std::string(20, 'x'));
  EXPECT_EQ(PortListCount(), 0);
}

// Entries of a /proc folder of this process: its threads or its descriptors.
int ProcCount(const char* path) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(path)) ++n;
  return n;
}

// The desktop program opens and closes ports for as long as it runs: each cycle
// must give back the port's threads and descriptors.
TEST_F(PtyPort, OpenCloseCyclesGiveBackThreadsAndDescriptors) {
  port.SetOpen(true);  // what lives once per process is made here, not counted
  port.SetOpen(false);
  const int threads = ProcCount("/proc/self/task");
  const int fds = ProcCount("/proc/self/fd");
  for (int i = 0; i < 30; ++i) {
    port.SetOpen(true);
    EXPECT_GT(ProcCount("/proc/self/task"), threads);  // its threads do run meanwhile
    port.PutString("y");
    ASSERT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }));
    port.SetOpen(false);
  }
  EXPECT_TRUE(PumpUntil(host, [&] { return ProcCount("/proc/self/task") == threads; }))
      << ProcCount("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_EQ(ProcCount("/proc/self/fd"), fds);
}

}  // namespace
}  // namespace zarnik
