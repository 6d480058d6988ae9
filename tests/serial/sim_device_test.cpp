// The simulated null modem: what crosses the line, when, and what stops it.
#include <gtest/gtest.h>

#include <chrono>

#include "serial/device_sim.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

struct SimLine : ::testing::Test {
  void SetUp() override {
    modem = SimNullModem::Create("simtest");
    ASSERT_EQ(port.Open(modem->Path()), 0);
    ASSERT_EQ(port.Setup(4096, 4096), 0);
    TDcb dcb;
    dcb.baudRate = 115200;
    ASSERT_EQ(port.SetState(dcb), 0);
  }
  std::shared_ptr<SimNullModem> modem;
  SimDevice port;
};

TEST_F(SimLine, BytesCrossBothWaysInOrder) {
  ASSERT_EQ(port.Write("hello", 5), 5);
  EXPECT_EQ(modem->PeerReadAll(), "hello");
  modem->PeerWrite("world");
  char buf[16];
  EXPECT_EQ(port.Read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(port.Read(buf, sizeof buf), 0);  // nothing waiting: no wait either
}

TEST_F(SimLine, OpensOnceAndOnlyWhenRegistered) {
  SimDevice second;
  EXPECT_EQ(second.Open(modem->Path()), DeviceFailure(SerialError::Busy));
  EXPECT_EQ(second.Open("sim:nobody"), DeviceFailure(SerialError::NotFound));
  port.Close();
  EXPECT_EQ(second.Open(modem->Path()), 0);
}

TEST_F(SimLine, PacingTakesTheTimeOfTheLine) {
  modem->SetPacing(true);
  std::string block(1152, 'x');  // 100 ms at 115200 8N1
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(port.Write(block.data(), block.size()), 1152);
  EXPECT_GT(port.TransmitQueue(), 1000u);
  ASSERT_TRUE(modem->PeerWaitAvailable(1152, 2000));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 95);
  EXPECT_EQ(port.TransmitQueue(), 0u);
}

TEST_F(SimLine, CtsFlowHoldsOutput) {
  TDcb dcb;
  port.GetState(dcb);
  dcb.outxCtsFlow = true;
  port.SetState(dcb);
  modem->SetCts(false);
  port.Write("abc", 3);
  EXPECT_EQ(modem->PeerAvailable(), 0u);
  EXPECT_EQ(port.TransmitQueue(), 3u);
  TComStat stat;
  port.ClearError(&stat);
  EXPECT_TRUE(stat.ctsHold);
  modem->SetCts(true);
  EXPECT_EQ(modem->PeerReadAll(), "abc");
}

TEST_F(SimLine, SettingsDriveTheOutputLines) {
  EXPECT_TRUE(modem->PortRts());
  EXPECT_TRUE(modem->PortDtr());
  port.EscapeFunction(efClrRts);
  EXPECT_FALSE(modem->PortRts());
  modem->PeerWrite("held");  // the far end waits for RTS
  EXPECT_EQ(modem->PortReceiveQueue(), 0u);
  port.EscapeFunction(efSetRts);
  EXPECT_EQ(modem->PortReceiveQueue(), 4u);
}

TEST_F(SimLine, RtsHandshakeStopsAndReleasesTheSender) {
  TDcb dcb;
  port.GetState(dcb);
  dcb.rtsControl = kRtsControlHandshake;
  dcb.xoffLim = 4096 - 2000;  // stop above 2000 queued
  dcb.xonLim = 409;           // go again at 409
  port.SetState(dcb);
  modem->PeerWrite(std::string(5000, 'a'));
  EXPECT_EQ(modem->PortReceiveQueue(), 2001u);
  EXPECT_FALSE(modem->PortRts());
  EXPECT_EQ(modem->PeerPending(), 2999u);
  char buf[2000];
  port.Read(buf, 1500);  // 501 left: still above the resume level
  EXPECT_FALSE(modem->PortRts());
  port.Read(buf, 92);  // 409 left
  EXPECT_GT(modem->PortReceiveQueue(), 409u);
  EXPECT_EQ(modem->PeerPending(), 2999u - (modem->PortReceiveQueue() - 409));
}

TEST_F(SimLine, ASenderThatIgnoresRtsOverrunsTheQueue) {
  modem->SetPeerHonoursRts(false);
  modem->PeerWrite(std::string(5000, 'a'));
  EXPECT_EQ(modem->PortReceiveQueue(), 4096u);
  EXPECT_EQ(port.ClearError(nullptr) & ceRxOver, ceRxOver);
}

TEST_F(SimLine, EventsReportDataLinesBreaksAndErrors) {
  modem->PeerWrite("x");
  EXPECT_EQ(port.WaitEvent(kCommMask, 100), int(evRxChar));
  modem->SetCts(false);
  EXPECT_EQ(port.WaitEvent(kCommMask, 100), int(evCts));
  EXPECT_EQ(port.ModemStatus() & msCtsOn, 0u);
  modem->InjectBreak();
  modem->InjectLineError(ceRxParity);
  EXPECT_EQ(port.WaitEvent(kCommMask, 100), int(evBreak | evErr));
  EXPECT_EQ(port.ClearError(nullptr), ceBreak | ceRxParity);
  EXPECT_EQ(port.ClearError(nullptr), 0u);
  EXPECT_EQ(port.WaitEvent(kCommMask, 10), 0);  // quiet line: a time-out
}

TEST_F(SimLine, CancelWakesAWaiter) {
  auto w = testing::CancelWhileWaiting([&] { return port.WaitEvent(kCommMask, 60000); },
                                       [&] { port.CancelWaits(); });
  EXPECT_EQ(w.result, 0);
  EXPECT_LT(w.took, std::chrono::seconds(30));
}

}  // namespace
}  // namespace zarnik
