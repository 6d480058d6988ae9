#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/console_host.h"
#include "platform/virtual_host.h"

namespace zarnik {
namespace {

struct Recorder : MessageTarget {
  std::vector<uint32_t> seen;
  std::thread::id handledOn;
  intptr_t HandleMessage(uint32_t msg, uintptr_t w, intptr_t) override {
    seen.push_back(msg);
    handledOn = std::this_thread::get_id();
    return static_cast<intptr_t>(w) * 2;
  }
};

TEST(HostQueue, PostIsHandledInOrderOnlyWhenServiced) {
  VirtualHost host;
  Recorder r;
  host.AddTarget(&r);
  host.Post(&r, 0x7E01);
  host.Post(&r, 0x7E02);
  EXPECT_TRUE(r.seen.empty());
  host.ProcessMessages();
  EXPECT_EQ(r.seen, (std::vector<uint32_t>{0x7E01, 0x7E02}));
}

TEST(HostQueue, RemovedTargetGetsNothing) {
  VirtualHost host;
  Recorder r;
  host.AddTarget(&r);
  host.Post(&r, 1);
  host.RemoveTarget(&r);
  host.Post(&r, 2);
  host.ProcessMessages();
  EXPECT_TRUE(r.seen.empty());
  EXPECT_FALSE(host.Send(&r, 3, 0, 0, 10));
}

TEST(HostQueue, SendFromWindowThreadCallsDirectly) {
  VirtualHost host;
  Recorder r;
  host.AddTarget(&r);
  intptr_t result = 0;
  ASSERT_TRUE(host.Send(&r, 5, 21, 0, 3000, &result));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(r.seen.size(), 1u);
}

TEST(HostQueue, SendFromWorkerReturnsWhenWindowThreadHandlesIt) {
  ConsoleHost host;
  Recorder r;
  host.AddTarget(&r);
  std::atomic<bool> ok{false};
  intptr_t result = 0;
  std::thread worker([&] { ok = host.Send(&r, 0x7E01, 4, 0, 3000, &result); });
  while (r.seen.empty()) host.WaitAndProcessMessages(50);
  worker.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 8);
  EXPECT_EQ(r.handledOn, std::this_thread::get_id());
}

TEST(HostQueue, SendFromWorkerTimesOutWhenNobodyServices) {
  ConsoleHost host;
  Recorder r;
  host.AddTarget(&r);
  bool ok = true;
  std::thread worker([&] { ok = host.Send(&r, 0x7E01, 0, 0, 30); });
  worker.join();
  EXPECT_FALSE(ok);
  // The timed-out message was withdrawn; servicing later delivers nothing.
  host.ProcessMessages();
  EXPECT_TRUE(r.seen.empty());
}

// A host that tells whether a message is waiting in its queue.
struct QueueProbeHost : ConsoleHost {
  bool Pending() {
    std::lock_guard lock(mutex_);
    return HasWorkLocked();
  }
};

TEST(HostQueue, RemovingATargetReleasesABlockedSender) {
  QueueProbeHost host;
  Recorder r;
  host.AddTarget(&r);
  std::atomic<int> state{0};
  std::thread worker([&] { state = host.Send(&r, 1, 0, 0, 10000) ? 1 : 2; });
  // The sender is blocked once its message waits in the queue.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!host.Pending() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_TRUE(host.Pending());
  EXPECT_EQ(state, 0);
  host.RemoveTarget(&r);
  worker.join();
  EXPECT_EQ(state, 2);
  EXPECT_TRUE(r.seen.empty());
}

TEST(HostTimers, VirtualTimeRunsTimersInOrder) {
  VirtualHost host;
  std::vector<std::string> fired;
  TimerId a = host.CreateTimer([&] { fired.push_back("a@" + std::to_string(host.NowMs())); });
  TimerId b = host.CreateTimer([&] { fired.push_back("b@" + std::to_string(host.NowMs())); });
  host.SetTimerInterval(a, 300);
  host.SetTimerInterval(b, 200);
  host.SetTimerEnabled(a, true);
  host.SetTimerEnabled(b, true);
  while (host.NowMs() < 600) host.WaitAndProcessMessages(1000);
  EXPECT_EQ(fired, (std::vector<std::string>{"b@200", "a@300", "b@400", "a@600", "b@600"}));
}

TEST(HostTimers, TimersFireOnlyInsideProcessMessages) {
  VirtualHost host;
  int fired = 0;
  TimerId t = host.CreateTimer([&] { ++fired; });
  host.SetTimerInterval(t, 4000);
  host.SetTimerEnabled(t, true);
  host.Sleep(10000);
  EXPECT_EQ(fired, 0);
  host.ProcessMessages();
  EXPECT_EQ(fired, 1);  // one firing for however long it was due
  host.SetTimerEnabled(t, false);
  host.Sleep(10000);
  host.ProcessMessages();
  EXPECT_EQ(fired, 1);
}

TEST(HostTimers, ScheduledEventsAndSleepInterleave) {
  VirtualHost host;
  std::vector<uint64_t> at;
  host.Schedule(30, [&] {
    at.push_back(host.NowMs());
    host.ScheduleIn(5, [&] { at.push_back(host.NowMs()); });
  });
  host.Schedule(10, [&] { at.push_back(host.NowMs()); });
  host.Sleep(100);
  EXPECT_EQ(at, (std::vector<uint64_t>{10, 30, 35}));
  EXPECT_EQ(host.NowMs(), 100u);
}

TEST(HostTimers, WaitWakesForAPostFromAnEvent) {
  VirtualHost host;
  Recorder r;
  host.AddTarget(&r);
  host.Schedule(70, [&] { host.Post(&r, 9); });
  host.WaitAndProcessMessages(1000);
  EXPECT_EQ(host.NowMs(), 70u);
  EXPECT_EQ(r.seen, std::vector<uint32_t>{9});
}

TEST(HostTimers, EndlessVirtualWaitIsAnErrorNotAHang) {
  VirtualHost host;
  EXPECT_THROW(host.WaitAndProcessMessages(UINT32_MAX), std::logic_error);
}

TEST(HostTimers, ConsoleTimerFiresOnRealTime) {
  ConsoleHost host;
  int fired = 0;
  TimerId t = host.CreateTimer([&] { ++fired; });
  host.SetTimerInterval(t, 20);
  host.SetTimerEnabled(t, true);
  uint64_t start = host.NowMs();
  while (fired == 0 && host.NowMs() - start < 2000) host.WaitAndProcessMessages(1000);
  EXPECT_EQ(fired, 1);
  EXPECT_GE(host.NowMs() - start, 20u);
}

TEST(HostOperator, ConsoleWritesMessagesAndPrefixedStatus) {
  std::ostringstream out;
  ConsoleHost host({&out, true, "status: ", false});
  host.ShowMessage("Upload Complete.");
  host.SetStatusText("Reading script");
  EXPECT_FALSE(host.AskYesNo("Quit?"));
  EXPECT_EQ(out.str(), "Upload Complete.\nstatus: Reading script\nQuit? [No]\n");
}

}  // namespace
}  // namespace zarnik
