// TComPort over simulated lines (COM numbers mapped through ZARNIK_COM<n>): the
// open/close cycle, answers of a closed port, setters on an open port, events on the
// window thread, consumers, and the prompt wait.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "serial/com_port.h"
#include "serial/device_posix.h"
#include "serial/device_sim.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

using testing::PumpUntil;

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lineA = SimNullModem::Create("comA");
    lineB = SimNullModem::Create("comB");
    ::setenv("ZARNIK_COM11", lineA->Path().c_str(), 1);
    ::setenv("ZARNIK_COM12", lineB->Path().c_str(), 1);
    ::setenv("ZARNIK_COM13", "sim:missing", 1);
  }
  // ComPort1's settings from the main window.
  void ConfigureLikeComPort1(TComPort& p, uint16_t n = 11) {
    p.SetComNumber(n);
    p.SetBaud(38400);
    p.SetAutoOpen(false);
    p.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    p.SetBufferFull(2000);
    p.SetBufferResume(409);
  }

  ConsoleHost host{testing::QuietHost()};
  std::shared_ptr<SimNullModem> lineA, lineB;
};

TEST_F(ComPortTest, AClosedPortAnswersWithoutADevice) {
  TComPort port(host);
  port.SetAutoOpen(false);
  port.SetOutSize(2048);
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.GetOutBuffFree(), 2048);
  EXPECT_EQ(port.GetOutBuffUsed(), 0);
  EXPECT_FALSE(port.GetCTS());
  EXPECT_EQ(port.InBuffUsed(), 0);
  EXPECT_EQ(port.InBuffFree(), 8192);
  EXPECT_EQ(port.GetLineError(), 0);
  EXPECT_THROW(port.FlushInBuffer(), ECommNotOpen);
  EXPECT_THROW(port.FlushOutBuffer(), ECommNotOpen);
  EXPECT_THROW(port.PutString("x"), ECommNotOpen);
  EXPECT_THROW(port.PutChar('x'), ECommNotOpen);
  char buf[1];
  EXPECT_THROW(port.GetBlock(buf, 1), ECommNotOpen);
  EXPECT_THROW(port.GetModemStatus(), ECommNotOpen);
  EXPECT_THROW(port.WaitForString(">", 1, true, false), ECommNotOpen);
  EXPECT_TRUE(port.WaitForString("", 1, true, false));
  port.SetOpen(false);  // nothing to close
  EXPECT_FALSE(port.GetOpen());
}

TEST_F(ComPortTest, DefaultsOfTheComponent) {
  TComPort port(host);
  EXPECT_EQ(port.GetComNumber(), 0);
  EXPECT_EQ(port.GetBaud(), 19200);
  EXPECT_TRUE(port.GetAutoOpen());
  EXPECT_TRUE(port.GetPromptForPort());
  EXPECT_EQ(port.GetInSize(), 4096);
  EXPECT_EQ(port.GetTriggerLength(), 1);
  EXPECT_EQ(port.GetTraceName(), "SERIAL.TRC");
  EXPECT_TRUE(port.GetHWFlowOptions().Empty());
  EXPECT_EQ(port.GetXOffChar(), 0x13);
  port.SetTraceSize(5000000);
  EXPECT_EQ(port.GetTraceSize(), 4000000u);
  port.SetPromptForPort(false);
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
}

TEST_F(ComPortTest, AutoOpenOpensOnFirstUse) {
  TComPort port(host);
  port.SetComNumber(11);
  port.PutString("auto");
  EXPECT_TRUE(port.GetOpen());
  EXPECT_TRUE(lineA->PeerWaitAvailable(4, 1000));
}

TEST_F(ComPortTest, OpenFailuresLeaveThePortClosedAndRetryable) {
  TComPort port(host);
  port.SetAutoOpen(false);
  port.SetComNumber(13);
  EXPECT_THROW(port.SetOpen(true), EBadId);
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_FALSE(IsPortAvailable(13));
  EXPECT_FALSE(IsPortAvailable(0));

  TComPort holder(host);
  holder.SetComNumber(11);
  holder.SetOpen(true);
  port.SetComNumber(11);
  EXPECT_THROW(port.SetOpen(true), EAlreadyOpen);
  EXPECT_FALSE(port.GetOpen());
  EXPECT_TRUE(IsPortAvailable(11));  // it exists, another holds it
  try {
    port.SetOpen(true);
  } catch (const ESerialException& e) {
    EXPECT_EQ(e.ErrorCode(), -2008);
    EXPECT_STREQ(e.what(), "ie_Open - device already open");
  }
  holder.SetOpen(false);
  port.SetOpen(true);
  EXPECT_TRUE(port.GetOpen());
  port.SetOpen(true);  // already open: nothing
  EXPECT_TRUE(port.GetOpen());
}

// What the port throws on open tells why, whatever class carries it: the callers read
// Cause(), the user reads the text.
TEST_F(ComPortTest, AnOpenThatFailsCarriesItsCause) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PosixDevice holder;
  ASSERT_EQ(holder.Open(pty.SlavePath()), 0);
  testing::PtyPair free;
  char dir[] = "/tmp/zarnik-cause-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string plain = std::string(dir) + "/plain", locked = std::string(dir) + "/locked";
  std::ofstream(plain) << "x";
  std::ofstream(locked) << "x";
  ::chmod(locked.c_str(), 0);
  struct Case {
    std::string path;
    int32_t baud;
    SerialError cause;
    const char* text;
  };
  std::vector<Case> cases = {
      {"/dev/zarnik-no-such-tty", 9600, SerialError::NotFound,
       "ie_BadId - Specified comport doesn't exist"},
      {pty.SlavePath(), 9600, SerialError::Busy, "ie_Open - device already open"},
      {"/dev/null", 9600, SerialError::NotSerial, "Inappropriate ioctl for device"},
      {plain, 9600, SerialError::NotSerial, "Inappropriate ioctl for device"},
      {free.SlavePath(), 12345, SerialError::RateRefused, "Invalid argument"},  // see below
  };
  // Root opens whatever the mode says.
  if (::geteuid() != 0)
    cases.push_back({locked, 9600, SerialError::PermissionDenied, "Permission denied"});
  for (const auto& c : cases) {
    TComPort port(host);
    port.SetAutoOpen(false);
    port.SetDevicePath(c.path);
    port.SetBaud(c.baud);
    // A pty takes any rate; this driver's clock makes only the standard ones.
    auto lines = std::make_shared<testing::FakeLines>();
    lines->refuseCustomRates = true;
    port.SetDeviceFactory(
        [&](const std::string&) { return std::unique_ptr<SerialDevice>(new PosixDevice(lines)); });
    try {
      port.SetOpen(true);
      ADD_FAILURE() << c.path << " opened";
    } catch (const ESerialException& e) {
      EXPECT_EQ(e.Cause(), c.cause) << c.path;
      EXPECT_STREQ(e.what(), c.text) << c.path;
    }
    EXPECT_FALSE(port.GetOpen());
  }
  std::filesystem::remove_all(dir);
}

TEST_F(ComPortTest, OpensWithComPort1Settings) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  ASSERT_TRUE(port.GetOpen());
  TDcb dcb = lineA->PortSettings();
  EXPECT_EQ(dcb.baudRate, 38400u);
  EXPECT_EQ(dcb.byteSize, 8);
  EXPECT_EQ(dcb.parity, 0);
  EXPECT_EQ(dcb.stopBits, kOneStopBit);
  EXPECT_EQ(dcb.rtsControl, kRtsControlHandshake);
  EXPECT_TRUE(dcb.outxCtsFlow);
  EXPECT_EQ(dcb.xoffLim, 4096 - 2000);
  EXPECT_EQ(dcb.xonLim, 409);
  EXPECT_TRUE(lineA->PortDtr());
  EXPECT_TRUE(port.GetCTS());
  lineA->SetCts(false);
  EXPECT_FALSE(port.GetCTS());
}

TEST_F(ComPortTest, FlowThresholdsFollowInSize) {
  TComPort port(host);
  port.SetHWFlowOptions({hwfUseRTS});
  EXPECT_EQ(port.GetBufferFull(), 3686);
  EXPECT_EQ(port.GetBufferResume(), 409);
  TComPort sw(host);
  sw.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(sw.GetBufferFull(), 3072);
  EXPECT_EQ(sw.GetBufferResume(), 1024);
  TComPort open(host);
  ConfigureLikeComPort1(open);
  open.SetOpen(true);
  EXPECT_THROW(open.SetBufferFull(300), EBadArgument);  // below the resume level
}

TEST_F(ComPortTest, LineSettingsApplyToAnOpenPortWithoutClosingIt) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetBaud(9600);  // closed: stored only
  EXPECT_FALSE(lineA->PortOpen());
  port.SetOpen(true);
  EXPECT_EQ(lineA->PortSettings().baudRate, 9600u);
  int opens = 0;
  port.OnPortOpen = [&](TCustomComPort&) { ++opens; };
  port.SetBaud(57600);
  port.SetParity(pOdd);
  port.SetDataBits(7);
  EXPECT_EQ(lineA->PortSettings().baudRate, 57600u);
  EXPECT_EQ(lineA->PortSettings().parity, 1);
  EXPECT_EQ(lineA->PortSettings().byteSize, 7);
  EXPECT_EQ(opens, 0);
  EXPECT_TRUE(lineA->PortOpen());
}

TEST_F(ComPortTest, ComNumberOnAnOpenPortReopensOnTheNewLineKeepingTriggers) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  uint16_t h = port.AddStatusTrigger(stModem);
  port.SetStatusTrigger(h, kLevelCts, true);
  port.SetComNumber(11);  // same number: nothing happens
  EXPECT_TRUE(lineA->PortOpen());
  port.SetComNumber(12);
  EXPECT_TRUE(port.GetOpen());
  EXPECT_FALSE(lineA->PortOpen());
  EXPECT_TRUE(lineB->PortOpen());
  ASSERT_NE(port.Dispatcher(), nullptr);
  EXPECT_EQ(port.Dispatcher()->ClassifyStatusTrigger(h), stModem);
  std::vector<uint16_t> fired;
  port.OnTriggerModemStatus = [&](TCustomComPort&) { fired.push_back(1); };
  lineB->SetCts(false);
  EXPECT_TRUE(PumpUntil(host, [&] { return fired.size() == 1; }));
}

TEST_F(ComPortTest, APutOfExactlyTheFreeSpaceFitsAndOneMoreFails) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  lineA->SetCts(false);
  std::string block(4096, 'b');
  uint16_t free = port.GetOutBuffFree();
  ASSERT_EQ(free, 4096);
  port.PutBlock(block.data(), 4000);
  EXPECT_THROW(port.PutBlock(block.data(), 97), EOutputBufferTooSmall);
  port.PutBlock(block.data(), 96);
  EXPECT_EQ(port.GetOutBuffFree(), 0);
  EXPECT_EQ(port.GetOutBuffUsed(), 4096);
  EXPECT_EQ(lineA->PeerAvailable(), 0u);
  port.FlushOutBuffer();
  EXPECT_EQ(port.GetOutBuffUsed(), 0);
}

TEST_F(ComPortTest, DataAvailableRunsOnTheWindowThreadAndReadsTheCount) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::string got;
  std::vector<uint32_t> order;
  port.OnTrigger = [&](TCustomComPort&, uint32_t msg, uint16_t, uint16_t) { order.push_back(msg); };
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    EXPECT_TRUE(host.IsWindowThread());
    std::vector<char> buf(count);
    cp.GetBlock(buf.data(), count);
    got.append(buf.data(), count);
    order.push_back(0);
  };
  port.SetOpen(true);
  lineA->PeerWrite("unit says hi");
  EXPECT_TRUE(PumpUntil(host, [&] { return got == "unit says hi"; }));
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0], kMsgTriggerAvail);  // OnTrigger first
  EXPECT_EQ(order[1], 0u);
  // The ring drops what was read once the notice is over, on the dispatcher thread.
  EXPECT_TRUE(PumpUntil(host, [&] { return port.InBuffUsed() == 0; }));
}

// A notice still waiting for the window thread must not turn the window thread's
// own reads and flushes into reads of that notice: the bytes of a flush are gone
// for the prompt wait that follows, and the late notice offers only what is left.
TEST_F(ComPortTest, AFlushBeforeAQueuedNoticeIsHandledReallyEmptiesTheInput) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::vector<uint16_t> counts;
  std::string got;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    counts.push_back(count);
    std::vector<char> buf(count);
    cp.GetBlock(buf.data(), count);
    got.append(buf.data(), count);
  };
  port.SetOpen(true);
  lineA->PeerWrite("\r\nLOAD OK\r\n>");
  // The dispatcher has sent its notice; the window thread is busy elsewhere.
  ASSERT_TRUE(testing::WaitUntil([&] { return port.Dispatcher()->EventBusy(); }));
  port.FlushInBuffer();
  EXPECT_EQ(port.InBuffUsed(), 0);
  EXPECT_FALSE(port.WaitForString(">", 1, false, false));  // the stale prompt is gone
  lineA->PeerWrite("VER");
  EXPECT_TRUE(PumpUntil(host, [&] { return got == "VER"; })) << got;
  for (uint16_t c : counts) EXPECT_LE(c, 3) << "a notice offered bytes that were flushed";
}

// The writer may be handing bytes to the device when the output is flushed; what it
// handed must not be counted against what is put after the flush.
TEST_F(ComPortTest, AFlushRacingTheWriterNeverSwallowsLaterBytes) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  constexpr int kRounds = 300;
  for (int i = 0; i < kRounds; ++i) {
    port.PutString("\r");
    port.FlushOutBuffer();
    port.PutString("VER");
    ASSERT_TRUE(PumpUntil(host, [&] { return port.GetOutBuffUsed() == 0; }));
  }
  std::string peer;
  ASSERT_TRUE(testing::WaitUntil([&] {
    peer += lineA->PeerReadAll();
    return peer.size() >= 3 * kRounds;
  }));
  std::erase(peer, '\r');  // a CR may or may not have left before its flush
  std::string expected;
  for (int i = 0; i < kRounds; ++i) expected += "VER";
  EXPECT_EQ(peer, expected);
}

TEST_F(ComPortTest, AWindowHandlerAndAThreadSideHandlerEachReadTheirOwnShare) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::string window, thread;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    if (count < 8) return;
    char b[3];
    cp.GetBlock(b, 3);
    window.assign(b, 3);
  };
  port.SetOpen(true);
  TBaseDispatcher* d = port.Dispatcher();
  d->RegisterEventTriggerHandler(&thread, [&](uint32_t msg, uintptr_t count, intptr_t) {
    if (msg != kMsgTriggerAvail || count < 8) return;
    char b[5];
    d->GetBlock(b, 5);
    thread.assign(b, 5);
  });
  lineA->PeerWrite("12345678");
  ASSERT_TRUE(PumpUntil(host, [&] { return port.InBuffUsed() == 3; }));
  d->DeregisterEventTriggerHandler(&thread);
  port.OnTriggerAvail = nullptr;
  EXPECT_EQ(window, "123");
  EXPECT_EQ(thread, "12345");
  char next[3];
  port.GetBlock(next, 3);
  EXPECT_EQ(std::string(next, 3), "678");
}

TEST_F(ComPortTest, ClosingFromInsideTheDataHandlerCompletesAfterTheNotice) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::vector<std::string> events;
  port.OnPortClose = [&](TCustomComPort&) { events.push_back("close"); };
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t) {
    events.push_back("avail");
    cp.SetOpen(false);
    events.push_back(cp.GetOpen() ? "still open" : "closed");
  };
  port.SetOpen(true);
  lineA->PeerWrite("bye");
  ASSERT_TRUE(PumpUntil(host, [&] { return !port.GetOpen(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"avail", "close", "still open"}));
  EXPECT_EQ(port.PortState(), psClosed);
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_FALSE(lineA->PortOpen());
  port.OnTriggerAvail = nullptr;
  port.SetOpen(true);  // and it opens again
  EXPECT_TRUE(port.GetOpen());
}

TEST_F(ComPortTest, AnOpenAskedForWhileShuttingDownFollowsTheClose) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  bool reopened = false;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t) {
    cp.SetOpen(false);
    cp.SetOpen(true);  // only recorded now
    EXPECT_EQ(port.PortState(), psShuttingDown);
    port.OnTriggerAvail = nullptr;
    reopened = true;
  };
  port.SetOpen(true);
  lineA->PeerWrite("x");
  ASSERT_TRUE(PumpUntil(host, [&] { return reopened && port.PortState() == psOpen; }));
  EXPECT_TRUE(lineA->PortOpen());
}

TEST_F(ComPortTest, ConsumersHearOpenClosingAndClosed) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::vector<std::string> log;
  struct Window : MessageTarget {
    std::vector<std::string>* log;
    intptr_t HandleMessage(uint32_t msg, uintptr_t, intptr_t) override {
      log->push_back("window " + std::to_string(msg - kMsgPortOpen));
      return 0;
    }
  } window;
  window.log = &log;
  host.AddTarget(&window);
  port.RegisterUserEx(&window);
  int plain = 0, extended = 0;
  port.RegisterUserCallback(&plain, [&](TCustomComPort&, bool opening) {
    log.push_back(opening ? "plain open" : "plain closed");
  });
  port.RegisterUserCallbackEx(&extended, [&](TCustomComPort&, TCallbackType t) {
    log.push_back("ex " + std::to_string(t));
  });
  port.SetOpen(true);
  port.SetOpen(false);
  // Last registered first; the plain kind hears nothing of "closing".
  std::vector<std::string> want = {"ex 0",     "plain open", "window 0",     "ex 1",
                                   "window 2", "ex 2",       "plain closed", "window 1"};
  EXPECT_EQ(log, want);
  port.DeregisterUserCallback(&plain);
  port.DeregisterUserCallbackEx(&extended);
  port.DeregisterUser(&window);
  log.clear();
  port.SetOpen(true);
  EXPECT_TRUE(log.empty());
  port.SetOpen(false);
  host.RemoveTarget(&window);
}

TEST_F(ComPortTest, WaitForStringConsumesUpToThePromptAndKeepsNoticesBack) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  int notices = 0;
  port.OnTriggerAvail = [&](PortContract&, uint16_t) { ++notices; };
  std::string seen;
  port.OnWaitChar = [&](TCustomComPort&, char c) { seen.push_back(c); };
  port.SetOpen(true);
  std::thread unit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lineA->PeerWrite("LOADR\r\n>rest");
  });
  EXPECT_TRUE(port.WaitForString(">", 20, true, false));
  unit.join();
  EXPECT_EQ(seen, "LOADR\r\n>");
  EXPECT_EQ(notices, 0);
  // The wait has let go of its flag (a notice of the rest may be under way already).
  EXPECT_FALSE(port.Dispatcher()->SetEventBusy(false));
  EXPECT_TRUE(port.WaitForString("eS", 20, false, true));  // ignore case, no yield
}

// After a partial match the wait goes on from what is matched still, so a prompt that
// overlaps with itself is found however the bytes before it repeat its start.
TEST_F(ComPortTest, WaitForStringFindsAPromptThatOverlapsWithItself) {
  struct Case {
    const char* line;
    const char* prompt;
    bool ignoreCase;
    const char* consumed;
  };
  const Case cases[] = {
      {"aaab!", "aab", false, "aaab"},
      {"ababac!", "abac", false, "ababac"},
      {"xAaAb!", "aab", true, "xAaAb"},
      {">>> ok", ">> ok", false, ">>> ok"},
  };
  for (const auto& c : cases) {
    TComPort port(host);
    ConfigureLikeComPort1(port);
    std::string seen;
    port.OnWaitChar = [&](TCustomComPort&, char ch) { seen.push_back(ch); };
    port.SetOpen(true);
    lineA->PeerWrite(c.line);
    EXPECT_TRUE(port.WaitForString(c.prompt, 10, false, c.ignoreCase)) << c.line;
    EXPECT_EQ(seen, c.consumed) << c.line;
  }
}

TEST_F(ComPortTest, WaitForStringTimesOutOnASilentLine) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.WaitForString("#", 2, true, false));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 110);  // more than two whole ticks
  lineA->PeerWrite("xx#");
  ASSERT_TRUE(PumpUntil(host, [&] { return port.InBuffUsed() == 3; }));
  EXPECT_TRUE(port.WaitForString("#", 0, true, false));  // waiting: seen within the tick
  EXPECT_FALSE(port.WaitForString("#", 0, true, false));
}

TEST_F(ComPortTest, WaitForStringServicesTheQueueWhenItYields) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  int fired = 0;
  TimerId timer = host.CreateTimer([&] {
    ++fired;
    lineA->PeerWrite(">");
  });
  host.SetTimerInterval(timer, 30);
  host.SetTimerEnabled(timer, true);
  EXPECT_TRUE(port.WaitForString(">", 40, true, false));
  EXPECT_GE(fired, 1);
  host.DestroyTimer(timer);
}

TEST_F(ComPortTest, ClosingDuringAPromptWaitEndsIt) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  TimerId timer = host.CreateTimer([&] { port.SetOpen(false); });
  host.SetTimerInterval(timer, 20);
  host.SetTimerEnabled(timer, true);
  EXPECT_FALSE(port.WaitForString(">", 100, true, false));
  host.SetTimerEnabled(timer, false);
  EXPECT_TRUE(PumpUntil(host, [&] { return port.PortState() == psClosed; }));
  host.DestroyTimer(timer);
}

// A stop handled on the window thread ends a long wait at once; the next wait is not
// ended by it, and neither is a wait that starts after a stop with none running.
TEST_F(ComPortTest, EndWaitEndsTheRunningPromptWaitOnly) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  port.EndWait();  // nothing runs: nothing to end, nothing kept
  lineA->PeerWrite(">");
  EXPECT_TRUE(port.WaitForString(">", 40, true, false));
  TimerId timer = host.CreateTimer([&] {
    host.SetTimerEnabled(timer, false);
    port.EndWait();
  });
  host.SetTimerInterval(timer, 20);
  host.SetTimerEnabled(timer, true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.WaitForString(">", 265, true, false));  // 14.6 s unless ended
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  lineA->PeerWrite(">");
  EXPECT_TRUE(port.WaitForString(">", 40, true, false));
  host.DestroyTimer(timer);
}

// Status and timer notices carry no bytes: a prompt wait must not swallow them, or a
// lamp that re-arms its trigger only from its handler stays lit for good.
TEST_F(ComPortTest, TimerAndStatusNoticesSurviveAPromptWait) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::vector<uint16_t> timers, statuses;
  port.OnTriggerTimer = [&](TCustomComPort&, uint16_t h) { timers.push_back(h); };
  port.OnTriggerStatus = [&](TCustomComPort&, uint16_t h) { statuses.push_back(h); };
  port.SetOpen(true);
  TBaseDispatcher* d = port.Dispatcher();
  uint16_t timer = port.AddTimerTrigger();
  uint16_t sent = port.AddStatusTrigger(stOutSent);
  port.SetStatusTrigger(sent, 0, true);
  port.SetTimerTrigger(timer, 0, true);
  port.PutString("x");
  // One notice waits for the window thread; the other trigger is still armed.
  ASSERT_TRUE(testing::WaitUntil([&] { return d->EventBusy(); }));
  EXPECT_FALSE(port.WaitForString(">", 1, true, false));
  EXPECT_TRUE(PumpUntil(host, [&] { return timers.size() == 1 && statuses.size() == 1; }))
      << timers.size() << " timer and " << statuses.size() << " status notices";
}

// A real UART's line changes must all become events, whoever looks at the lines first.
TEST_F(ComPortTest, EveryModemLineChangeOfAUartFiresItsTrigger) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  auto lines = std::make_shared<testing::FakeLines>();
  TComPort port(host);
  port.SetDeviceFactory(
      [&](const std::string&) { return std::unique_ptr<SerialDevice>(new PosixDevice(lines)); });
  port.SetDevicePath(pty.SlavePath());
  int fired = 0;
  port.OnTriggerModemStatus = [&](TCustomComPort&) { ++fired; };
  port.SetOpen(true);
  uint16_t h = port.AddStatusTrigger(stModem);
  for (int i = 1; i <= 8; ++i) {
    port.SetStatusTrigger(h, kLevelCts | kLevelDcd, true);  // re-armed, as the lamps do
    lines->modem ^= (i % 2 ? TIOCM_CTS : TIOCM_CAR);
    ASSERT_TRUE(PumpUntil(host, [&] { return fired == i; })) << "change " << i << " was lost";
  }
}

TEST_F(ComPortTest, APromptWaitDuringADeferredCloseDoesNotSeeThePrompt) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::vector<bool> results;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t) {
    cp.SetOpen(false);  // deferred: this notice is still being delivered
    results.push_back(cp.WaitForString(">", 1, true, false));
  };
  port.SetOpen(true);
  lineA->PeerWrite("x");
  ASSERT_TRUE(PumpUntil(host, [&] { return port.PortState() == psClosed; }));
  EXPECT_EQ(results, std::vector<bool>{false});
}

// The COM menus close a port, wait for the close, and open it again, possibly while a
// prompt wait yields to them: the wait must end, and the new port's notices flow.
TEST_F(ComPortTest, APromptWaitEndsWhenThePortIsReopenedUnderIt) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  std::string got;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    std::vector<char> buf(count);
    cp.GetBlock(buf.data(), count);
    got.append(buf.data(), count);
  };
  port.SetOpen(true);
  TimerId timer = host.CreateTimer([&] {
    host.SetTimerEnabled(timer, false);
    port.SetOpen(false);
    PumpUntil(host, [&] { return port.PortState() == psClosed; });
    port.SetOpen(true);
    lineA->PeerWrite("x");
  });
  host.SetTimerInterval(timer, 20);
  host.SetTimerEnabled(timer, true);
  EXPECT_FALSE(port.WaitForString(">", 40, true, false));
  EXPECT_TRUE(port.GetOpen());
  EXPECT_TRUE(PumpUntil(host, [&] { return got == "x"; })) << "the new port's notice was lost";
  host.DestroyTimer(timer);
}

// A window handler may run past the dispatcher's wait for it. Its reads then belong to
// no notice: they take bytes plainly, and the next notice counts from what is left.
TEST_F(ComPortTest, AHandlerThatOutlivesItsNoticeReadsPlainly) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  TBaseDispatcher* d = port.Dispatcher();
  d->SetNoticeTimeoutMs(50);
  std::string got;
  int calls = 0;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t count) {
    if (++calls == 1) {
      ASSERT_TRUE(testing::WaitUntil([&] { return !d->EventBusy(); }));  // given up on us
      lineA->PeerWrite("CD");
      ASSERT_TRUE(testing::WaitUntil([&] { return d->EventBusy(); }));  // the next notice
    }
    std::vector<char> buf(count);
    cp.GetBlock(buf.data(), count);
    got.append(buf.data(), count);
  };
  lineA->PeerWrite("AB");
  EXPECT_TRUE(PumpUntil(host, [&] { return got.size() >= 4; }));
  EXPECT_EQ(got, "ABCD");
  EXPECT_TRUE(PumpUntil(host, [&] { return port.InBuffUsed() == 0; }));
}

TEST_F(ComPortTest, AHandlerThatOutlivesItsNoticeMayCloseThePort) {
  TComPort port(host);
  ConfigureLikeComPort1(port);
  port.SetOpen(true);
  TBaseDispatcher* d = port.Dispatcher();
  d->SetNoticeTimeoutMs(50);
  bool closed = false;
  port.OnTriggerAvail = [&](PortContract& cp, uint16_t) {
    ASSERT_TRUE(testing::WaitUntil([&] { return !d->EventBusy(); }));
    cp.SetOpen(false);  // the dispatcher goes at once; the host's step after us must not
    closed = true;
  };
  lineA->PeerWrite("bye");
  ASSERT_TRUE(PumpUntil(host, [&] { return closed; }));
  EXPECT_FALSE(port.GetOpen());
}

TEST_F(ComPortTest, SetOpenWhileLoadingWaitsForLoaded) {
  TComPort port(host);
  port.BeginLoading();
  port.SetComNumber(11);
  port.SetOpen(true);
  EXPECT_FALSE(port.GetOpen());
  port.Loaded();
  EXPECT_TRUE(port.GetOpen());
  std::ostringstream out;
  ConsoleHost shown(ConsoleHostOptions{&out, false, "", true});
  TComPort missing(shown);
  missing.BeginLoading();
  missing.SetComNumber(13);
  missing.SetOpen(true);
  missing.Loaded();  // the failure is shown, not thrown
  EXPECT_FALSE(missing.GetOpen());
  EXPECT_EQ(out.str(), "ie_BadId - Specified comport doesn't exist\n");
}

TEST_F(ComPortTest, DevicePathOverridesTheComNumber) {
  TComPort port(host);
  port.SetDevicePath(lineB->Path());
  port.SetOpen(true);  // no ComNumber needed
  EXPECT_TRUE(lineB->PortOpen());
}

TEST_F(ComPortTest, ADeviceFactoryMakesTheDevice) {
  TComPort port(host);
  std::vector<std::string> asked;
  port.SetDeviceFactory([&](const std::string& path) {
    asked.push_back(path);
    return std::unique_ptr<SerialDevice>(new SimDevice);
  });
  port.SetComNumber(11);
  port.SetOpen(true);
  EXPECT_EQ(asked, std::vector<std::string>{lineA->Path()});
  EXPECT_TRUE(lineA->PortOpen());
}

TEST_F(ComPortTest, APortChosenInTheSelectionDialog) {
  TComPort port(host);
  std::vector<std::string> offered;
  port.OnSelectPort = [&](const std::vector<std::string>& entries, std::string& chosen) {
    offered = entries;
    chosen = "COM12";
    return true;
  };
  port.SetOpen(true);
  EXPECT_EQ(port.GetComNumber(), 12);
  EXPECT_TRUE(lineB->PortOpen());
  EXPECT_NE(std::find(offered.begin(), offered.end(), "COM11"), offered.end());
  EXPECT_EQ(std::find(offered.begin(), offered.end(), "COM13"), offered.end());
}

TEST(ComNames, NumbersBecomePathsInOnePlace) {
  ::unsetenv("ZARNIK_COM3");
  EXPECT_EQ(ComDevicePath(3), "/dev/ttyS2");
  ::setenv("ZARNIK_COM3", "/dev/ttyUSB0", 1);
  EXPECT_EQ(ComDevicePath(3), "/dev/ttyUSB0");
  ::setenv("ZARNIK_COM3", "", 1);
  EXPECT_EQ(ComDevicePath(3), "/dev/ttyS2");
  EXPECT_EQ(ComDevicePath(0), "");
  EXPECT_EQ(ComName(2), "COM2");
}

TEST(SearchComPort, FindsTheFirstPortDepthFirst) {
  ConsoleHost host(testing::QuietHost());
  TComponent form;
  TComponent panel(&form);
  TComPort inner(host, &panel);
  TComPort outer(host, &form);
  EXPECT_EQ(SearchComPort(&form), &inner);
  EXPECT_EQ(SearchComPort(&panel), &inner);
  TComponent empty;
  EXPECT_EQ(SearchComPort(&empty), nullptr);
}

}  // namespace
}  // namespace zarnik
