// A line that goes away under an open port: the far end of a pty closes while the
// port waits for a prompt or writes. Real time, waits for conditions.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "serial/com_port.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

using testing::PtyPair;
using testing::PumpUntil;
using testing::WaitUntil;

TEST(PosixDeviceGone, AHungUpPtyAnswersNotConnectedFromThenOn) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PosixDevice device;
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return device.WaitEvent(kCommMask, 20) == deNotConnected; }));
  char byte = 'x';
  TDcb dcb;
  struct Call {
    const char* name;
    int result;
  } calls[] = {
      {"wait", device.WaitEvent(kCommMask, 5000)},
      {"read", device.Read(&byte, 1)},
      {"write", device.Write(&byte, 1)},
      {"purge", device.Purge(purgeRxClear | purgeTxClear)},
      {"settings", device.SetState(dcb)},
  };
  for (const auto& c : calls) EXPECT_EQ(c.result, deNotConnected) << c.name;
  // No lines are up on a device that is not there.
  EXPECT_EQ(device.ModemStatus(), 0u);
  EXPECT_EQ(device.TransmitQueue(), 0u);
  device.Close();
  EXPECT_FALSE(device.IsOpen());
}

class LostPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    port.SetDevicePath(pty.SlavePath());
    port.SetAutoOpen(false);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.OnLineLost = [this](TCustomComPort&) { ++lostNotices; };
    port.SetOpen(true);
  }
  // Every operation that needs the line names the device.
  void ExpectLineOpsRaise() {
    const std::string text = pty.SlavePath() + " was disconnected.";
    auto expect = [&](const char* what, auto op) {
      try {
        op();
        ADD_FAILURE() << what << " did not raise";
      } catch (const EPortDisconnected& e) {
        EXPECT_EQ(e.what(), text) << what;
        EXPECT_EQ(e.Device(), pty.SlavePath()) << what;
        EXPECT_EQ(e.ErrorCode(), deNotConnected) << what;
      }
    };
    expect("put", [&] { port.PutString("x"); });
    expect("flush in", [&] { port.FlushInBuffer(); });
    expect("flush out", [&] { port.FlushOutBuffer(); });
    expect("prompt wait", [&] { port.WaitForString(">", 265, true, false); });
    expect("check", [&] { port.CheckLine(); });
  }
  // Lost, told once, and the comm thread no longer waits on the dead descriptor.
  void ExpectLost() {
    EXPECT_TRUE(PumpUntil(host, [&] { return lostNotices > 0; }));
    EXPECT_TRUE(port.LineLost());
    EXPECT_TRUE(port.GetOpen());
    EXPECT_FALSE(port.GetCTS());
    EXPECT_TRUE(WaitUntil([&] { return port.Dispatcher()->ThreadCount() == 2; }));
    ExpectLineOpsRaise();
    host.ProcessMessages();
    EXPECT_EQ(lostNotices, 1);
  }
  // Closing ends it; a fresh line opens as if nothing had happened.
  void ExpectCloseAndReopen() {
    port.SetOpen(false);
    EXPECT_FALSE(port.GetOpen());
    EXPECT_FALSE(port.LineLost());
    EXPECT_NO_THROW(port.CheckLine());
    PtyPair fresh;
    ASSERT_TRUE(fresh.Ok());
    port.SetDevicePath(fresh.SlavePath());
    port.SetOpen(true);
    port.PutString("ok\r");
    EXPECT_EQ(fresh.Read(3), "ok\r");
    EXPECT_FALSE(port.LineLost());
    port.SetOpen(false);
  }

  PtyPair pty;
  ConsoleHost host{testing::QuietHost()};
  TComPort port{host};
  int lostNotices = 0;
};

TEST_F(LostPty, TheFarEndClosingDuringAPromptWaitEndsTheWaitWithTheDevice) {
  // The far end takes the carriage return, then goes without an answer.
  std::thread peer([&] {
    pty.Read(1);
    pty.CloseMaster();
  });
  port.PutString("\r");
  // A wait of 265 ticks (14.6 s): only the loss can end it with an exception.
  EXPECT_THROW(port.WaitForString(">", 265, true, false), EPortDisconnected);
  peer.join();
  ExpectLost();
  ExpectCloseAndReopen();
}

TEST_F(LostPty, TheFarEndClosingUnderAWriteDropsTheOutputAndRaises) {
  // Nobody reads the far end: fill the line until the output buffer stays full.
  const std::string block(2000, 'b');
  while (PumpUntil(
      host, [&] { return port.GetOutBuffFree() >= block.size(); }, 300))
    port.PutBlock(block.data(), static_cast<uint16_t>(block.size()));
  ASSERT_GT(port.GetOutBuffUsed(), 0);
  pty.CloseMaster();
  ExpectLost();
  // What was on its way is gone with the line; nothing waits for it.
  EXPECT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }));
  ExpectCloseAndReopen();
}

}  // namespace
}  // namespace zarnik
