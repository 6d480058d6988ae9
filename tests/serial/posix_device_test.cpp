// The termios device over a pty pair: exclusive open, raw bytes both ways, settings
// reaching the driver, events, and what a pty lacks (modem lines) answered as asserted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>

#include <atomic>
#include <thread>

#include "serial/device_posix.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

using testing::PtyPair;

TEST(PosixDevice, MissingAndHeldDevicesAnswerTheirCodes) {
  PosixDevice device;
  EXPECT_EQ(device.Open("/dev/zarnik-no-such-tty"), DeviceFailure(SerialError::NotFound));
  EXPECT_EQ(device.Open("/dev/null/x"), DeviceFailure(SerialError::PathNotFound));
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  PosixDevice second;
  EXPECT_EQ(second.Open(pty.SlavePath()), DeviceFailure(SerialError::Busy));
  device.Close();
  EXPECT_EQ(second.Open(pty.SlavePath()), 0);
}

TEST(PosixDevice, ALockHeldByAnotherProgramCountsAsInUse) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  PosixDevice device;
  EXPECT_EQ(device.Open(pty.SlavePath()), DeviceFailure(SerialError::Busy));
  ::close(other);
  EXPECT_EQ(device.Open(pty.SlavePath()), 0);
}

TEST(PosixDevice, RawBytesBothWaysWithoutBlocking) {
  PtyPair pty;
  PosixDevice device;
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  ASSERT_EQ(device.Write(all.data(), all.size()), 256);
  EXPECT_EQ(pty.Read(256), all);
  char buf[300];
  EXPECT_EQ(device.Read(buf, sizeof buf), 0);
  EXPECT_EQ(device.WaitEvent(kCommMask, 10), 0);  // quiet line
  pty.Write(all);
  ASSERT_GT(device.WaitEvent(kCommMask, 500) & evRxChar, 0);
  std::string got;
  testing::WaitUntil([&] {
    int n = device.Read(buf, sizeof buf);
    if (n > 0) got.append(buf, n);
    return got.size() >= 256;
  });
  EXPECT_EQ(got, all);
}

TEST(PosixDevice, SettingsReachTheDriver) {
  PtyPair pty;
  PosixDevice device;
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  TDcb dcb;
  ASSERT_EQ(device.GetState(dcb), 0);
  dcb.baudRate = 38400;
  dcb.byteSize = 7;
  dcb.parity = 2;  // even
  dcb.stopBits = kTwoStopBits;
  ASSERT_EQ(device.SetState(dcb), 0);
  int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);  // root passes TIOCEXCL
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  // A pty keeps its own character size and parity; speed and stop bits it takes.
  EXPECT_EQ(::cfgetospeed(&t), speed_t(B38400));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));  // raw
  TDcb back;
  device.GetState(back);
  EXPECT_EQ(back.byteSize, 7);
  EXPECT_EQ(back.parity, 2);
}

// A rate without a B-constant goes by the custom-rate request; a driver that refuses
// it leaves the line at the rate it had.
TEST(PosixDevice, ACustomRateIsAskedForAndARefusedOneKeepsTheLine) {
  PtyPair pty;
  auto lines = std::make_shared<testing::FakeLines>();
  PosixDevice device(lines);
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  TDcb dcb;
  dcb.baudRate = 250000;
  EXPECT_EQ(device.SetState(dcb), 0);
  dcb.baudRate = 3000000;
  EXPECT_EQ(device.SetState(dcb), 0);
  lines->refuseCustomRates = true;
  dcb.baudRate = 12345;
  EXPECT_EQ(device.SetState(dcb), DeviceFailure(SerialError::RateRefused));
  TDcb kept;
  device.GetState(kept);
  EXPECT_EQ(kept.baudRate, 3000000u);
  termios t{};
  ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), speed_t(B3000000));
}

TEST(PosixDevice, APtyReportsItsModemLinesAsserted) {
  PtyPair pty;
  PosixDevice device;
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  EXPECT_EQ(device.ModemStatus(), msCtsOn | msDsrOn | msRlsdOn);
  EXPECT_EQ(device.EscapeFunction(efClrDtr), 0);  // nothing to drive, and no failure
}

TEST(PosixDevice, CancelWakesTheCommWait) {
  PtyPair pty;
  PosixDevice device;
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  // A quiet line: only the cancel can end this wait before its time-out.
  auto w = testing::CancelWhileWaiting([&] { return device.WaitEvent(kCommMask, 60000); },
                                       [&] { device.CancelWaits(); });
  EXPECT_EQ(w.result, 0);
  EXPECT_LT(w.took, std::chrono::seconds(30));
}

// The dispatcher clears errors on every round; a line change it happens to see there
// first must still reach the comm thread as an event.
TEST(PosixDevice, ALineChangeSeenWhileClearingErrorsStaysPendingAsAnEvent) {
  struct Case {
    const char* name;
    void (*change)(testing::FakeLines&);
    uint32_t event;
  };
  const Case cases[] = {
      {"CTS drops", [](testing::FakeLines& l) { l.modem ^= TIOCM_CTS; }, evCts},
      {"DSR drops", [](testing::FakeLines& l) { l.modem ^= TIOCM_DSR; }, evDsr},
      {"DCD drops", [](testing::FakeLines& l) { l.modem ^= TIOCM_CAR; }, evRlsd},
      {"ring", [](testing::FakeLines& l) { l.modem ^= TIOCM_RNG; }, evRing},
      {"break", [](testing::FakeLines& l) { ++l.breaks; }, evBreak},
      {"parity error", [](testing::FakeLines& l) { ++l.parityErrors; }, evErr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    auto lines = std::make_shared<testing::FakeLines>();
    PosixDevice device(lines);
    ASSERT_EQ(device.Open(pty.SlavePath()), 0);
    c.change(*lines);
    TComStat stat;
    device.ClearError(&stat);
    EXPECT_EQ(device.WaitEvent(kCommMask, 10) & c.event, c.event);
    EXPECT_EQ(device.WaitEvent(kCommMask, 10) & c.event, 0u);  // reported once
  }
}

TEST(PosixDevice, ModemLinesComeFromTheLineRequests) {
  PtyPair pty;
  auto lines = std::make_shared<testing::FakeLines>();
  PosixDevice device(lines);
  ASSERT_EQ(device.Open(pty.SlavePath()), 0);
  EXPECT_EQ(device.ModemStatus(), msCtsOn | msDsrOn | msRlsdOn);
  lines->modem = TIOCM_RNG;
  EXPECT_EQ(device.ModemStatus(), msRingOn);
}

}  // namespace
}  // namespace zarnik
