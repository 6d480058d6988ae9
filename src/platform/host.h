// The Host: everything the core asks of "the window thread" and of the operator.
//
// The core never talks to a window toolkit. It posts and sends messages to message
// targets, services the queue ("ProcessMessages" handles every message pending now
// and returns), reads a millisecond clock, sleeps, runs timers that fire only inside
// ProcessMessages, and asks the operator things. Three hosts implement this:
// ConsoleHost (real time, stderr), VirtualHost (virtual time, for tests) and the
// GUI's QtHost.
//
// Threading: Post and Send may be called from any thread. Everything else belongs to
// the window thread, which is the thread that created the host (MakeWindowThread
// moves that role to the calling thread). Send from the window thread calls the
// target directly, like a window procedure; from another thread it blocks until the
// window thread has handled the message or the time-out has passed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace zarnik {

// Milliseconds per timer tick; the prompt waits and the serial layer's timer
// triggers count in ticks.
inline constexpr uint32_t kTickMs = 55;

// Anything that receives window messages (a port's notification window, the
// terminal pane). Message numbers are the system's own (0x7E01, ...).
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
};

using TimerId = int;

class Host {
 public:
  Host();
  virtual ~Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // ---- Window-thread message queue ----
  // Queues a message for the window thread; safe from any thread.
  void Post(MessageTarget* target, uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);
  // Delivers a message on the window thread and waits for its result, at most
  // timeoutMs when called from another thread. Returns false on time-out (the
  // message is then dropped if still queued) or when the target was removed.
  // around, when given, runs on the window thread just before (true) and just after
  // (false) the target handles the message: a sender learns exactly when its message
  // is being handled, which a blocked sender cannot see for itself.
  using AroundHandling = std::function<void(bool handling)>;
  bool Send(MessageTarget* target, uint32_t msg, uintptr_t wParam, intptr_t lParam,
            uint32_t timeoutMs, intptr_t* result = nullptr, AroundHandling around = nullptr);
  // Handles every message pending now (posted or sent) and every due timer, then
  // returns. Window thread only. A host on a window toolkit also services the
  // toolkit's own queue here.
  virtual void ProcessMessages();
  // Blocks until a message is pending, a timer is due or maxMs have passed
  // (kInfinite: no limit), then services the queue once. The CPU-friendly form of
  // "service the queue over and over".
  static constexpr uint32_t kInfinite = UINT32_MAX;
  void WaitAndProcessMessages(uint32_t maxMs);
  // A target receives messages only while registered (a window exists). Removing
  // drops its pending messages; blocked senders are released with false. Remove a
  // target before destroying it.
  void AddTarget(MessageTarget* target);
  void RemoveTarget(MessageTarget* target);
  bool IsWindowThread() const;
  void MakeWindowThread();

  // ---- Time ----
  virtual uint64_t NowMs() = 0;
  uint64_t NowTicks() { return NowMs() / kTickMs; }
  virtual void Sleep(uint32_t ms) = 0;

  // ---- Timers (fire inside ProcessMessages on the window thread) ----
  TimerId CreateTimer(std::function<void()> onTimer);
  void SetTimerInterval(TimerId id, uint32_t intervalMs);
  // Enabling starts a fresh interval; disabling forgets a due firing.
  void SetTimerEnabled(TimerId id, bool enabled);
  bool TimerEnabled(TimerId id) const;
  void DestroyTimer(TimerId id);

  // ---- The operator ----
  // A modal box with one OK button. Every box goes through here, so a watcher (a
  // run keeping note of the errors it showed) sees each text whatever the host.
  void ShowMessage(const std::string& text);
  using MessageWatcher = std::function<void(const std::string& text)>;
  int WatchMessages(MessageWatcher watcher);  // returns the id for UnwatchMessages
  void UnwatchMessages(int id);
  virtual bool AskYesNo(const std::string& text) = 0;         // modal box, Yes / No
  virtual void SetStatusText(const std::string& text) = 0;    // the status bar's one text
  virtual void SetWaitCursor(bool on) = 0;                    // hourglass
  virtual void SetScriptButtonsEnabled(bool enabled) = 0;     // the two buttons that start a reading
  virtual void SetConfigMenuVisible(bool visible) = 0;        // "RS232 Config"

 protected:
  // What a host does to show a box; reached only through ShowMessage.
  virtual void ShowMessageBox(const std::string& text) = 0;
  // Waits (really or virtually) until there is work (a message, a due timer) or the
  // clock reaches untilMs. Called without mutex_ held; cv_ is notified whenever
  // something is queued.
  virtual void WaitForWork(uint64_t untilMs) = 0;
  // Called, with mutex_ held and from any thread, whenever a message is queued or a
  // timer is started or moved: a host whose window thread may be asleep in a
  // toolkit's event loop wakes it here. Must not call back into the Host.
  virtual void WorkQueued() {}
  // Both with mutex_ held.
  bool HasWorkLocked();
  uint64_t NextTimerDueLocked() const;  // earliest enabled timer, or UINT64_MAX

  mutable std::mutex mutex_;
  std::condition_variable cv_;

 private:
  struct Pending {
    MessageTarget* target;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
    // For Send: the waiting sender's slot, shared so a timed-out sender can leave.
    struct Reply {
      bool done = false;
      bool delivered = false;
      intptr_t result = 0;
    };
    std::shared_ptr<Reply> reply;
    AroundHandling around;
  };
  struct Timer {
    std::function<void()> onTimer;
    uint32_t intervalMs = 1000;
    bool enabled = false;
    uint64_t dueMs = 0;
  };

  bool Deliverable(MessageTarget* target) const;
  static intptr_t Handle(const Pending& p);
  void RunDueTimers();

  std::deque<Pending> queue_;
  std::set<MessageTarget*> targets_;
  std::map<TimerId, Timer> timers_;
  TimerId nextTimer_ = 1;
  std::map<int, MessageWatcher> watchers_;
  int nextWatcher_ = 1;
  std::thread::id windowThread_;
};

}  // namespace zarnik
