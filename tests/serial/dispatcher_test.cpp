// The dispatcher over the simulated null modem, with real threads: notices and their
// read positions, triggers, flow control, flushing and line settings. Who hears a
// notice and what each consumer reads is the notice hub's (notice_hub_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "serial/dispatcher.h"
#include "serial/device_sim.h"
#include "serial/serial_exceptions.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

using testing::WaitUntil;

struct Notice {
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modem = SimNullModem::Create(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { d.reset(); }

  void Open(uint32_t options = ipDtr | ipRts, int32_t baud = 38400) {
    d = std::make_unique<TBaseDispatcher>(&host);
    ASSERT_EQ(d->InitPort(modem->Path(), baud, 0, 8, 1, 4096, 4096, options), 0);
  }
  // Records every notice; reads `take` bytes of each data notice.
  void Record(size_t take = 0) {
    TBaseDispatcher* dp = d.get();
    d->RegisterEventTriggerHandler(this, [this, dp, take](uint32_t msg, uintptr_t w, intptr_t l) {
      if (msg == kMsgTriggerAvail && take > 0) {
        std::vector<char> buf(std::min<size_t>(take, w));
        dp->GetBlock(buf.data(), buf.size());
        std::lock_guard lock(mutex);
        read.append(buf.data(), buf.size());
      }
      std::lock_guard lock(mutex);
      notices.push_back({msg, w, l});
    });
  }
  // Waits until the dispatcher thread has gone round n more times.
  bool WaitRounds(uint64_t n) {
    uint64_t until = d->DispatchRounds() + n;
    return WaitUntil([&] { return d->DispatchRounds() >= until; });
  }
  std::vector<Notice> Notices() {
    std::lock_guard lock(mutex);
    return notices;
  }
  size_t CountOf(uint32_t msg) {
    auto all = Notices();
    return std::count_if(all.begin(), all.end(), [&](const Notice& n) { return n.msg == msg; });
  }

  ConsoleHost host{testing::QuietHost()};
  std::shared_ptr<SimNullModem> modem;
  std::unique_ptr<TBaseDispatcher> d;
  std::mutex mutex;
  std::vector<Notice> notices;
  std::string read;
};

TEST_F(DispatcherTest, OpensConfiguresAndClosesTheDevice) {
  Open(ipDtr);
  EXPECT_TRUE(modem->PortOpen());
  EXPECT_EQ(modem->PortSettings().baudRate, 38400u);
  EXPECT_TRUE(modem->PortDtr());
  EXPECT_FALSE(modem->PortRts());
  EXPECT_EQ(d->ThreadCount(), 3);
  d->DonePort();
  EXPECT_FALSE(modem->PortOpen());
  EXPECT_EQ(d->ThreadCount(), 0);
  TBaseDispatcher other(&host);
  EXPECT_EQ(other.InitPort("sim:none", 9600, 0, 8, 1, 4096, 4096, 0),
            DeviceFailure(SerialError::NotFound));
}

TEST_F(DispatcherTest, BytesGoOutInOrderAndComeIn) {
  Open();
  std::string text;
  for (int i = 0; i < 3000; ++i) text.push_back(static_cast<char>('a' + i % 26));
  ASSERT_EQ(d->PutString(text), 3000);
  ASSERT_TRUE(modem->PeerWaitAvailable(3000, 2000));
  EXPECT_EQ(modem->PeerReadAll(), text);
  EXPECT_TRUE(WaitUntil([&] { return d->OutBuffUsed() == 0; }));
  modem->PeerWrite("reply");
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 5; }));
  char buf[5];
  EXPECT_EQ(d->PeekChar(4), 'y');
  EXPECT_EQ(d->GetBlock(buf, 6), ecBufferIsEmpty);  // more than waiting: nothing read
  EXPECT_EQ(d->GetBlock(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");
  EXPECT_EQ(d->GetChar(), ecBufferIsEmpty);
}

TEST_F(DispatcherTest, APutThatDoesNotFitFailsWhole) {
  Open();
  ASSERT_EQ(d->HWFlowOptions(2000, 409, hfRequireCts), 0);
  modem->SetCts(false);  // nothing leaves
  std::string block(4096, 'x');
  ASSERT_EQ(d->PutBlock(block.data(), 4000), 4000);
  EXPECT_EQ(d->OutBuffFree(), 96);
  EXPECT_EQ(d->PutBlock(block.data(), 97), ecOutputBufferTooSmall);
  EXPECT_EQ(d->OutBuffUsed(), 4000);
  EXPECT_EQ(d->PutBlock(block.data(), 96), 96);
  EXPECT_EQ(d->OutBuffFree(), 0);
  EXPECT_EQ(modem->PeerAvailable(), 0u);
}

TEST_F(DispatcherTest, ANoticeNotReadInFullComesBackOnlyWithNewBytes) {
  Open();
  Record(4);
  modem->PeerWrite("0123456789");
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 6; }));
  ASSERT_TRUE(WaitRounds(3));  // a few idle rounds
  ASSERT_EQ(CountOf(kMsgTriggerAvail), 1u);
  EXPECT_EQ(Notices()[0].wParam, 10u);
  modem->PeerWrite("X");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerAvail) == 2; }));
  EXPECT_EQ(Notices()[1].wParam, 7u);  // the six old bytes and the new one
  EXPECT_EQ(Notices()[0].lParam, intptr_t(d->PortIndex()) << 16);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return read == "01234567";
  }));
}

TEST_F(DispatcherTest, WithNobodyReadingTheRingFillsAndRtsStopsTheSender) {
  Open(ipDtr | ipRtsHandshake);
  ASSERT_EQ(d->HWFlowOptions(2000, 409, hfUseRts), 0);
  modem->PeerWrite(std::string(20000, 'r'));
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 8192; }));
  ASSERT_TRUE(WaitRounds(2));
  EXPECT_EQ(d->InBuffFree(), 0);
  // The driver's queue holds what the ring could not take, above the resume level:
  // RTS stays down and the sender waits with the rest.
  size_t queued = modem->PortReceiveQueue();
  EXPECT_GT(queued, 409u);
  EXPECT_LE(queued, 2001u);
  EXPECT_FALSE(modem->PortRts());
  EXPECT_EQ(modem->PeerPending(), 20000u - 8192u - queued);
  // Reading makes room: extraction resumes and the sender goes on.
  std::vector<char> buf(8192);
  ASSERT_EQ(d->GetBlock(buf.data(), 8192), 8192);
  EXPECT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 8192; }));
  ASSERT_TRUE(WaitRounds(2));
  EXPECT_EQ(modem->PeerPending(), 20000u - 2 * 8192u - modem->PortReceiveQueue());
  EXPECT_EQ(std::string(buf.data(), 8192), std::string(8192, 'r'));
}

TEST_F(DispatcherTest, FlushOutBufferDropsWhatIsLeftOfALargeWrite) {
  modem->SetPacing(true);
  Open(ipDtr | ipRts, 9600);  // 4096 bytes take over 4 s
  std::string block(4096, 'z');
  ASSERT_EQ(d->PutBlock(block.data(), block.size()), 4096);
  ASSERT_TRUE(modem->PeerWaitAvailable(20, 1000));
  ASSERT_EQ(d->FlushOutBuffer(), 0);
  EXPECT_EQ(d->OutBuffUsed(), 0);
  EXPECT_EQ(d->OutBuffFree(), 4096);
  ASSERT_TRUE(WaitRounds(2));
  size_t got = modem->PeerReadAll().size();
  EXPECT_LT(got, 200u);
  ASSERT_EQ(d->PutString("after"), 5);
  ASSERT_TRUE(modem->PeerWaitAvailable(5, 1000));
  EXPECT_EQ(modem->PeerReadAll(), "after");
}

TEST_F(DispatcherTest, SetLineWithUnchangedValuesDoesNotWaitForTheOutput) {
  Open();
  ASSERT_EQ(d->HWFlowOptions(2000, 409, hfRequireCts), 0);
  modem->SetCts(false);
  d->PutString("stuck");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(d->SetLine(38400, 0, 8, 1), 0);
  EXPECT_EQ(d->SetLine(0, 5, 9, 3), 0);  // every value "keep as is"
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(d->OutBuffUsed(), 5);
}

TEST_F(DispatcherTest, SetLineDrainsTheOutputBeforeChanging) {
  modem->SetPacing(true);
  Open();
  std::string block(400, 'q');  // about 100 ms at 38400
  d->PutBlock(block.data(), block.size());
  ASSERT_EQ(d->SetLine(19200, 2, 7, 2), 0);
  EXPECT_EQ(modem->PeerAvailable(), 400u);
  TDcb dcb = modem->PortSettings();
  EXPECT_EQ(dcb.baudRate, 19200u);
  EXPECT_EQ(dcb.parity, 2);
  EXPECT_EQ(dcb.byteSize, 7);
  EXPECT_EQ(dcb.stopBits, kTwoStopBits);
  EXPECT_EQ(d->SetLine(19200, 0, 5, 1), 0);
  EXPECT_EQ(modem->PortSettings().stopBits, kOne5StopBits);  // 5 data bits: 1.5 whatever asked
}

TEST(WaitTxSent, EighteenCharactersAtTheLineSettings) {
  TDcb dcb;
  dcb.baudRate = 38400;
  EXPECT_EQ(TBaseDispatcher::TxSentDelayMs(dcb), 5u);  // 260 x 10 x 18 = 46800 units
  dcb.baudRate = 115200;
  EXPECT_EQ(TBaseDispatcher::TxSentDelayMs(dcb), 2u);  // 86 x 10 x 18 = 15480
  dcb.baudRate = 1200;
  dcb.parity = 1;
  dcb.stopBits = kTwoStopBits;
  EXPECT_EQ(TBaseDispatcher::TxSentDelayMs(dcb), 180u);  // 8333 x 12 x 18
  dcb.baudRate = 4000000;
  dcb.parity = 0;
  dcb.stopBits = kOneStopBit;
  EXPECT_EQ(TBaseDispatcher::TxSentDelayMs(dcb), 1u);  // 2 x 10 x 18 = 360, doubled
}

TEST(TriggerHandles, MultiplesOfEightThenReuseThenNone) {
  TTriggerList list;
  EXPECT_EQ(list.NewHandle(), 8);
  EXPECT_EQ(list.NewHandle(), 16);
  list.lastHandle = kMaxHandleCount;
  for (uint16_t h = 8; h <= 4096; h += 8)
    if (h != 80) list.timers.push_back({h, false, {}});
  list.statuses.push_back({uint16_t(4096 + 8 + 3), stOutbuffFree});
  EXPECT_EQ(list.NewHandle(), 80);
  list.timers.push_back({80, false, {}});
  EXPECT_EQ(list.NewHandle(), ecNoMoreTriggers);
  list.Clear();
  EXPECT_EQ(list.NewHandle(), 8);
}

TEST_F(DispatcherTest, TriggerOperationsCheckTheirHandles) {
  Open();
  int status = d->AddStatusTrigger(stOutbuffFree);
  EXPECT_EQ(status, 8 + 3);
  EXPECT_EQ(d->ClassifyStatusTrigger(status), stOutbuffFree);
  int timer = d->AddTimerTrigger();
  EXPECT_EQ(timer, 16);
  EXPECT_EQ(d->AddStatusTrigger(6), ecBadArgument);
  EXPECT_EQ(d->SetStatusTrigger(timer, 0, true), ecBadTriggerHandle);
  EXPECT_EQ(d->SetTimerTrigger(status, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(d->RemoveTrigger(999), ecBadTriggerHandle);
  EXPECT_EQ(d->RemoveTrigger(status), 0);
  EXPECT_EQ(d->ClassifyStatusTrigger(status), ecBadTriggerHandle);
  EXPECT_EQ(d->RemoveTrigger(kAvailTriggerHandle), 0);  // data-available rule off
  Record();
  modem->PeerWrite("quiet");
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 5; }));
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(CountOf(kMsgTriggerAvail), 0u);
}

TEST_F(DispatcherTest, AModemTriggerFiresOnceWhenCtsChanges) {
  Open();
  Record();
  int h = d->AddStatusTrigger(stModem);
  ASSERT_EQ(d->SetStatusTrigger(h, kLevelCts, true), 0);
  modem->SetCts(false);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerStatus) == 1; }));
  auto n = Notices().back();
  EXPECT_EQ(n.wParam, uintptr_t(h));
  EXPECT_EQ(n.lParam & 0xFFFF, 0);
  uint8_t status = d->GetModemStatus();
  EXPECT_EQ(status & kLevelCts, 0);
  EXPECT_EQ(status & kDeltaCts, kDeltaCts);
  EXPECT_EQ(d->GetModemStatus() & kDeltaCts, 0);  // reading cleared the change bit
  modem->SetCts(true);  // disarmed when it fired
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(CountOf(kMsgTriggerStatus), 1u);
  EXPECT_TRUE(d->CheckCTS());
}

TEST_F(DispatcherTest, LineErrorAndBreakAreKeptUntilRead) {
  Open();
  Record();
  int h = d->AddStatusTrigger(stLineError);
  d->SetStatusTrigger(h, ceRxParity, true);
  modem->InjectLineError(ceRxParity);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerStatus) == 1; }));
  modem->InjectBreak();
  EXPECT_TRUE(WaitUntil([&] { return d->CheckLineBreak(); }));
  EXPECT_EQ(d->GetLineError(), 3);  // parity
  EXPECT_EQ(d->GetLineError(), 0);
}

TEST_F(DispatcherTest, OutputTriggersAndTimersFireOnce) {
  Open();
  Record();
  int sent = d->AddStatusTrigger(stOutSent);
  int freeSpace = d->AddStatusTrigger(stOutbuffFree);
  int timer = d->AddTimerTrigger();
  d->SetStatusTrigger(sent, 0, true);
  d->SetStatusTrigger(freeSpace, 4096, true);
  d->SetTimerTrigger(timer, 1, true);
  d->PutString("x");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerStatus) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerTimer) == 1; }));
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(CountOf(kMsgTriggerTimer), 1u);
  EXPECT_EQ(CountOf(kMsgTriggerStatus), 2u);
  for (const auto& n : Notices()) {
    if (n.wParam == uintptr_t(freeSpace)) {
      EXPECT_EQ(n.lParam & 0xFFFF, 4096);
    }
  }
}

// Once deregistration returns, the consumer may be destroyed: a call of it that is
// running on the dispatcher thread must have returned by then.
std::atomic<bool> procEntered{false}, procFinished{false}, procDeregistered{false};
void SlowProc(uint32_t, uintptr_t, intptr_t) {
  procEntered = true;
  // Room for a deregistration that does not wait to return under us.
  testing::WaitUntil([] { return procDeregistered.load(); }, 300);
  procFinished = true;
}

TEST_F(DispatcherTest, DeregisteringFromAnotherThreadWaitsForTheRunningCall) {
  for (bool proc : {false, true}) {
    SCOPED_TRACE(proc ? "procedure handler" : "event handler");
    Open();
    procEntered = procFinished = procDeregistered = false;
    if (proc)
      d->RegisterProcTriggerHandler(&SlowProc);
    else
      d->RegisterEventTriggerHandler(this, [](uint32_t m, uintptr_t w, intptr_t l) {
        SlowProc(m, w, l);
      });
    modem->PeerWrite("x");
    ASSERT_TRUE(WaitUntil([&] { return procEntered.load(); }));
    if (proc)
      d->DeregisterProcTriggerHandler(&SlowProc);
    else
      d->DeregisterEventTriggerHandler(this);
    bool finishedBeforeReturn = procFinished;
    procDeregistered = true;
    EXPECT_TRUE(finishedBeforeReturn);
    d.reset();
  }
}

std::atomic<int> procCalls{0};
void CountingProc(uint32_t msg, uintptr_t, intptr_t) {
  if (msg == kMsgTriggerAvail) ++procCalls;
}

// A synchronised handler runs on the window thread, called from the dispatcher
// thread, and reads the notice like any other consumer.
TEST_F(DispatcherTest, ProcedureAndSynchronisedHandlersEachReadFromTheOldestByte) {
  Open();
  TBaseDispatcher* dp = d.get();
  procCalls = 0;
  std::string sync;
  bool onWindowThread = false;
  d->RegisterSyncEventTriggerHandler(&sync, [&, dp](uint32_t msg, uintptr_t w, intptr_t) {
    if (msg != kMsgTriggerAvail) return;
    onWindowThread = host.IsWindowThread();
    std::vector<char> b(w);
    if (dp->GetBlock(b.data(), w) == int(w)) sync.append(b.data(), w);
  });
  d->RegisterProcTriggerHandler(&CountingProc);
  modem->PeerWrite("sync");
  ASSERT_TRUE(testing::PumpUntil(host, [&] { return sync == "sync" && procCalls == 1; }));
  EXPECT_TRUE(onWindowThread);
  EXPECT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 0; }));
  d->DeregisterSyncEventTriggerHandler(&sync);
  d->DeregisterProcTriggerHandler(&CountingProc);
  modem->PeerWrite("x");
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 1; }));
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(procCalls, 1);
}

TEST_F(DispatcherTest, FlushInsideANoticeDropsEverythingWaiting) {
  Open();
  TBaseDispatcher* dp = d.get();
  std::atomic<int> calls = 0;
  d->RegisterEventTriggerHandler(this, [&, dp](uint32_t msg, uintptr_t, intptr_t) {
    if (msg != kMsgTriggerAvail) return;
    char b[2];
    dp->GetBlock(b, 2);
    dp->FlushInBuffer();
    ++calls;
  });
  modem->PeerWrite("discard all of it");
  ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
  EXPECT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 0; }));
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(calls, 1);  // dropped whole: nothing is announced again
}

TEST_F(DispatcherTest, NoNoticeWhileEventBusy) {
  Open();
  Record();
  EXPECT_FALSE(d->SetEventBusy(true));
  modem->PeerWrite("held");
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 4; }));
  ASSERT_TRUE(WaitRounds(3));
  EXPECT_EQ(CountOf(kMsgTriggerAvail), 0u);
  EXPECT_TRUE(d->SetEventBusy(false));
  EXPECT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerAvail) == 1; }));
}

// At 38400 baud the simulated line brings a byte every 260 us: handed on one read at
// a time, the stream would make a notice of every byte or two.
TEST_F(DispatcherTest, AStreamMakesFewNoticesThatCarryEveryByteInOrder) {
  Open();
  modem->SetPacing(true);
  Record(SIZE_MAX);
  std::string text;
  for (int i = 0; i < 600; ++i) text.push_back(static_cast<char>(i % 251));
  modem->PeerWrite(text);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return read.size() == text.size();
  }));
  EXPECT_EQ(read, text);
  EXPECT_LT(CountOf(kMsgTriggerAvail), 100u);
  EXPECT_GT(d->ReceiveGathers(), 0u);
}

TEST_F(DispatcherTest, BytesAfterAQuietSpellOrDuringAPromptWaitAreNotHeldBack) {
  Open();
  modem->SetPacing(true);
  Record(SIZE_MAX);
  modem->PeerWrite("a");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerAvail) == 1; }));
  // Rounds with nothing to wake them come 50 ms apart, far past the gathering.
  ASSERT_TRUE(WaitRounds(3));
  modem->PeerWrite("b");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(kMsgTriggerAvail) == 2; }));
  EXPECT_EQ(d->ReceiveGathers(), 0u);

  d->SetEventBusy(true);
  modem->PeerWrite(std::string(200, 'w'));
  ASSERT_TRUE(WaitUntil([&] { return d->InBuffUsed() == 200; }));
  EXPECT_EQ(d->ReceiveGathers(), 0u);
  d->SetEventBusy(false);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return read == "ab" + std::string(200, 'w');
  }));
}

}  // namespace
}  // namespace zarnik
