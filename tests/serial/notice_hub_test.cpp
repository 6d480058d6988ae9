// The notice hub on one thread: the test is the dispatcher thread and the window
// thread at once (a Send from the window thread calls the target directly), so every
// consumer runs inside Deliver. Who hears a notice, in what order, what each reads,
// removals during a delivery, the slot, and the message the consumers get.
#include "serial/notice_hub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console_host.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

class NoticeHubTest : public ::testing::Test {
 protected:
  static constexpr int kPortIndex = 3;

  void SetUp() override { ring->Allocate(); }
  void Receive(const std::string& bytes) {
    ring->Fill(static_cast<uint32_t>(bytes.size()), [&](uint8_t* dst, size_t n) {
      size_t k = std::min(n, bytes.size());
      std::copy_n(bytes.begin(), k, dst);
      return static_cast<int>(k);
    });
  }
  // Reads n bytes as the consumer being called; "" when fewer are waiting for it.
  std::string Take(size_t n) {
    std::string out(n, '\0');
    return ring->Read(out.data(), n, true) == int(n) ? out : "";
  }
  // Announces every waiting byte; true when the notice was read in full.
  bool Announce() { return hub.Send(hub.Make(kMsgTriggerAvail, ring->Used())); }
  // An event handler that logs its name and reads n bytes of a data notice.
  void AddReader(const void* id, std::string name, size_t n, bool synchronised = false) {
    hub.AddEvent(id, [this, name, n](uint32_t msg, uintptr_t, intptr_t) {
      log.push_back(name + (msg == kMsgTriggerAvail ? ":" + Take(n) : ""));
    }, synchronised);
  }

  ConsoleHost host{testing::QuietHost()};
  std::recursive_mutex stateLock;
  std::shared_ptr<RxRing> ring = std::make_shared<RxRing>();
  std::atomic<bool> closing{false};
  NoticeHub hub{&host, stateLock, ring, kPortIndex, closing};
  std::vector<std::string> log;
};

struct Window : MessageTarget {
  std::function<void(uint32_t, uintptr_t, intptr_t)> onMessage;
  intptr_t HandleMessage(uint32_t msg, uintptr_t w, intptr_t l) override {
    onMessage(msg, w, l);
    return 0;
  }
};

TEST_F(NoticeHubTest, EveryConsumerReadsFromTheOldestByteAndTheFurthestReadIsDropped) {
  AddReader(&log, "first", 3);
  AddReader(this, "second", 5);
  Receive("ABCDEFGH");
  EXPECT_FALSE(Announce());  // nobody took all eight
  EXPECT_EQ(log, (std::vector<std::string>{"first:ABC", "second:ABCDE"}));
  EXPECT_EQ(Take(3), "FGH");
  hub.RemoveEvent(&log, false);
  Receive("0123456789");
  EXPECT_FALSE(Announce());
  AddReader(&closing, "whole", 6);  // the five left and the new one
  log.clear();
  Receive("!");
  EXPECT_TRUE(Announce());  // one of them read everything: consumed
  EXPECT_EQ(ring->Used(), 0);
}

// Event handlers in the order added (a synchronised one among them, on the window
// thread), then procedures, then windows.
std::vector<std::string>* procLog = nullptr;
void LoggingProc(uint32_t, uintptr_t, intptr_t) { procLog->push_back("proc"); }

TEST_F(NoticeHubTest, EventHandlersThenProceduresThenWindowsEachWithTheSameMessage) {
  procLog = &log;
  std::vector<intptr_t> lParams;
  Window w1, w2;
  auto logAs = [&](std::string name) {
    return [&, name](uint32_t, uintptr_t, intptr_t l) {
      log.push_back(name);
      lParams.push_back(l);
    };
  };
  w1.onMessage = logAs("w1");
  w2.onMessage = logAs("w2");
  host.AddTarget(&w1);
  host.AddTarget(&w2);
  hub.AddWindow(&w1);
  hub.AddProc(&LoggingProc);
  AddReader(&log, "sync", 0, true);
  AddReader(this, "event", 0);
  hub.AddWindow(&w2);
  Receive("x");
  ASSERT_TRUE(hub.Wanted());
  hub.Send(hub.Make(kMsgTriggerStatus, 8 + 3, 42));
  EXPECT_EQ(log, (std::vector<std::string>{"sync", "event", "proc", "w1", "w2"}));
  EXPECT_EQ(lParams, (std::vector<intptr_t>{42 | (kPortIndex << 16), 42 | (kPortIndex << 16)}));
  host.RemoveTarget(&w1);
  host.RemoveTarget(&w2);
}

TEST_F(NoticeHubTest, ALoneWindowHearsOnlyWhenThePortsOwnEventsWantIt) {
  int heard = 0;
  Window w;
  w.onMessage = [&](uint32_t, uintptr_t, intptr_t) { ++heard; };
  host.AddTarget(&w);
  hub.AddWindow(&w);
  EXPECT_FALSE(hub.Wanted());
  EXPECT_TRUE(hub.Send(hub.Make(kMsgTriggerTimer, 16)));  // nobody to tell: consumed
  hub.SetOwnWindowWants(true);
  EXPECT_TRUE(hub.Wanted());
  hub.Send(hub.Make(kMsgTriggerTimer, 16));
  EXPECT_EQ(heard, 1);
  hub.RemoveWindow(&w);
  EXPECT_FALSE(hub.Wanted());
  host.RemoveTarget(&w);
}

TEST_F(NoticeHubTest, AConsumerRemovedDuringADeliveryIsSkippedAndGoneAfterwards) {
  hub.AddEvent(this, [&](uint32_t, uintptr_t, intptr_t) {
    log.push_back("first");
    hub.RemoveEvent(&log, false);
    hub.RemoveEvent(this, false);  // itself, from inside its own call
  }, false);
  AddReader(&log, "second", 0);
  hub.Send(hub.Make(kMsgTriggerTimer, 8));
  EXPECT_EQ(log, std::vector<std::string>{"first"});
  EXPECT_FALSE(hub.Wanted());
  hub.Send(hub.Make(kMsgTriggerTimer, 8));
  EXPECT_EQ(log.size(), 1u);
}

TEST_F(NoticeHubTest, APromptWaitHoldsTheSlotAndANoticeEndingCannotClearIt) {
  AddReader(this, "event", 0);
  EXPECT_FALSE(hub.SetPromptWait(true));
  EXPECT_TRUE(hub.Busy());
  EXPECT_FALSE(hub.Send(hub.Make(kMsgTriggerTimer, 8)));
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(hub.SetPromptWait(false));
  {
    std::lock_guard state(stateLock);
    ASSERT_TRUE(hub.ReserveLocked());
    EXPECT_FALSE(hub.ReserveLocked());  // one notice at a time
  }
  hub.SetPromptWait(true);  // a wait starting while the notice is delivered
  hub.Deliver(hub.Make(kMsgTriggerTimer, 8));
  EXPECT_TRUE(hub.Busy());
  hub.SetPromptWait(false);
  EXPECT_FALSE(hub.Busy());
}

TEST_F(NoticeHubTest, AClosingConsumerEndsTheDeliveryWithNothingDropped) {
  hub.AddEvent(this, [&](uint32_t, uintptr_t, intptr_t) {
    log.push_back("closer:" + Take(2));
    closing = true;
  }, false);
  AddReader(&log, "after", 2);
  Receive("abcd");
  EXPECT_FALSE(Announce());
  EXPECT_EQ(log, std::vector<std::string>{"closer:ab"});
  EXPECT_EQ(ring->Used(), 4);
}

}  // namespace
}  // namespace zarnik
