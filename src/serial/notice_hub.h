// NoticeHub: who hears a dispatcher's notices, and the one place that delivers them.
//
// Consumers are event handlers (a bound method, called on the dispatcher thread, or,
// when synchronised, on the window thread), procedure handlers (a plain function, on
// the dispatcher thread) and windows (message targets, sent the notice through the
// Host with a time limit). A notice goes to the event handlers in the order they were
// added, then to the procedures, then to the windows; windows hear it only when there
// is more than one of them or the port's own window wants notices. While it is
// delivered each consumer reads the received bytes from the oldest afresh (RxRing's
// notice reads); a close started meanwhile stops the delivery after the consumer that
// started it.
//
// The notice slot: one notice at a time, and none while a prompt wait holds the slot
// (the component's WaitForString reads the bytes itself). The prompt wait's flag and
// the delivering notice's flag are kept apart, so a notice ending during a wait
// cannot clear the wait's.
//
// Removing a consumer during a delivery marks it; it is skipped from then on and
// erased when the delivery ends. A thread-side consumer removed from another thread
// while a call of it runs is waited for, so that its owner may go as soon as the
// removal returns; removed from inside a call (on the calling thread) it is not.
//
// Threading: registration, the flags and Deliver may come from any thread; Deliver
// runs on one thread at a time (the slot). The lists and flags are guarded by the
// dispatcher's StateLock, which the hub shares (ReserveLocked and PromptWaitLocked
// expect it held, so that a trigger is disarmed in the same step as the slot is
// taken); consumers are called holding no lock. The in-flight record has its own leaf
// lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "serial/rx_ring.h"

namespace zarnik {

// Notices.
inline constexpr uint32_t kMsgTriggerAvail = 0x7E01;
inline constexpr uint32_t kMsgTriggerData = 0x7E02;
inline constexpr uint32_t kMsgTriggerTimer = 0x7E03;
inline constexpr uint32_t kMsgTriggerStatus = 0x7E04;
inline constexpr uint32_t kNoticeTimeoutMs = 3000;

// A procedure handler: a plain function, called on the dispatcher thread.
using TTriggerProc = void (*)(uint32_t msg, uintptr_t wParam, intptr_t lParam);
// An event handler: a bound method, identified by its object.
using TTriggerHandler = std::function<void(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// A notice as every consumer gets it, the window message's three words.
struct Notice {
  uint32_t msg = 0;
  uintptr_t wParam = 0;  // the count (data available) or the trigger's handle
  intptr_t lParam = 0;   // the port's index in the high word, the data in the low
};

class NoticeHub {
 public:
  // host may be nullptr (no window or synchronised consumers are then served);
  // closing is raised when a close starts during a delivery.
  NoticeHub(Host* host, std::recursive_mutex& stateLock, std::shared_ptr<RxRing> ring,
            int portIndex, const std::atomic<bool>& closing);
  ~NoticeHub();
  NoticeHub(const NoticeHub&) = delete;
  NoticeHub& operator=(const NoticeHub&) = delete;

  // The notice of message msg, built here alone.
  Notice Make(uint32_t msg, uintptr_t wParam, uint16_t data = 0) const;

  // ---- Consumers ----
  void AddWindow(MessageTarget* window);
  void AddProc(TTriggerProc proc);
  // A synchronised handler runs on the window thread.
  void AddEvent(const void* object, TTriggerHandler handler, bool synchronised);
  void RemoveWindow(MessageTarget* window);
  void RemoveProc(TTriggerProc proc);
  void RemoveEvent(const void* object, bool synchronised);
  // Whether the port's own window wants notices (its events are bound).
  void SetOwnWindowWants(bool wants);
  // Someone would hear a notice now.
  bool Wanted() const { return wanted_.load(); }

  // ---- The slot ----
  // Sets the prompt wait's flag; returns its previous value.
  bool SetPromptWait(bool waiting);
  bool PromptWaitLocked() const { return promptWait_.load(); }
  // A notice is being delivered or a prompt wait runs.
  bool Busy() const { return promptWait_.load() || delivering_.load(); }
  // Takes the slot unless it is held (StateLock held).
  bool ReserveLocked();
  // Delivers a notice whose slot is reserved and frees the slot; true when it counts
  // as consumed (a data-available notice read in full, any other not cut short).
  bool Deliver(const Notice& notice);
  // Takes the slot and delivers: true (consumed) when nobody wants notices, false
  // when a prompt wait holds the slot.
  bool Send(const Notice& notice);

  // How long a window may take over a notice (kNoticeTimeoutMs).
  void SetTimeoutMs(uint32_t ms) { timeoutMs_ = ms; }

 private:
  struct WndEntry {
    MessageTarget* window;
    bool deleted;
  };
  struct ProcEntry {
    TTriggerProc proc;
    bool deleted;
    uint64_t id;
  };
  struct EventEntry {
    const void* object;
    TTriggerHandler handler;
    bool deleted;
    bool sync;
    uint64_t id;
  };
  struct SyncCallData;
  class SyncTarget;

  void CallHere(uint64_t call, const std::function<void()>& fn);
  void CallSynchronised(const EventEntry& entry, uint64_t call, const Notice& notice);
  void RunSyncCall(const SyncCallData& call);
  // The thread-side consumer with this id is being called on the calling thread.
  void SetInFlight(uint64_t id);
  // After marking entries: waits until none of them is being called on another thread.
  void WaitNotInFlight(const std::vector<uint64_t>& ids);
  template <typename List, typename Match>
  std::vector<uint64_t> MarkOrEraseLocked(List& list, Match match);
  void FinishLocked();
  void RecomputeWantLocked();

  Host* host_;
  std::recursive_mutex& stateLock_;
  std::shared_ptr<RxRing> ring_;
  const int portIndex_;
  const std::atomic<bool>& closing_;
  std::atomic<uint32_t> timeoutMs_{kNoticeTimeoutMs};

  // StateLock.
  std::vector<WndEntry> windows_;
  std::vector<ProcEntry> procs_;
  std::vector<EventEntry> events_;
  bool ownWindowWants_ = false;
  bool deletionsPending_ = false;
  uint64_t nextId_ = 1;
  std::atomic<bool> wanted_{false};
  std::atomic<bool> promptWait_{false};
  std::atomic<bool> delivering_{false};

  // The thread-side consumer being called now, and the thread calling it.
  std::mutex flightMutex_;
  std::condition_variable flightCv_;
  uint64_t inFlightId_ = 0;
  std::thread::id inFlightThread_;

  std::unique_ptr<MessageTarget> syncTarget_;
};

}  // namespace zarnik
