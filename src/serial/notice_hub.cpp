#include "serial/notice_hub.h"

#include <algorithm>
#include <iostream>

namespace zarnik {

namespace {
constexpr uint32_t kMsgSyncCall = 0x7E0C;
}  // namespace

struct NoticeHub::SyncCallData {
  const EventEntry* entry;
  Notice notice;
};

// Runs synchronised event handlers on the window thread.
class NoticeHub::SyncTarget : public MessageTarget {
 public:
  explicit SyncTarget(NoticeHub& hub) : hub_(hub) {}
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg == kMsgSyncCall) hub_.RunSyncCall(*reinterpret_cast<const SyncCallData*>(wParam));
    return 0;
  }

 private:
  NoticeHub& hub_;
};

NoticeHub::NoticeHub(Host* host, std::recursive_mutex& stateLock, std::shared_ptr<RxRing> ring,
                     int portIndex, const std::atomic<bool>& closing)
    : host_(host),
      stateLock_(stateLock),
      ring_(std::move(ring)),
      portIndex_(portIndex),
      closing_(closing),
      syncTarget_(std::make_unique<SyncTarget>(*this)) {
  if (host_) host_->AddTarget(syncTarget_.get());
}

NoticeHub::~NoticeHub() {
  if (host_) host_->RemoveTarget(syncTarget_.get());
}

Notice NoticeHub::Make(uint32_t msg, uintptr_t wParam, uint16_t data) const {
  return {msg, wParam, intptr_t(data) | (intptr_t(portIndex_) << 16)};
}

// ================================================================ delivery

bool NoticeHub::ReserveLocked() {
  if (promptWait_ || delivering_) return false;
  delivering_ = true;
  return true;
}

bool NoticeHub::Send(const Notice& notice) {
  {
    std::lock_guard state(stateLock_);
    if (!wanted_) return true;
    // A prompt wait took the slot first: its bytes are for nobody else.
    if (!ReserveLocked()) return false;
  }
  return Deliver(notice);
}

// A consumer on this thread reads the notice while it runs.
void NoticeHub::CallHere(uint64_t call, const std::function<void()>& fn) {
  struct Reading {
    NoticeHub& hub;
    uint64_t call;
    ~Reading() {
      hub.ring_->SetReader(call, false);
      hub.SetInFlight(0);
    }
  } reading{*this, call};
  ring_->SetReader(call, true);
  fn();
}

bool NoticeHub::Deliver(const Notice& n) {
  size_t windowsServed = 0;
  {
    std::lock_guard state(stateLock_);
    size_t live = std::count_if(windows_.begin(), windows_.end(),
                                [](const WndEntry& e) { return !e.deleted; });
    windowsServed = (live > 1 || ownWindowWants_) ? windows_.size() : 0;
  }
  // Held by every step that may run after this call has moved on (the host's step
  // after a window handler that outlived its time, which may have closed the port).
  std::shared_ptr<RxRing> ring = ring_;
  ring->BeginNotice(n.msg == kMsgTriggerAvail || n.msg == kMsgTriggerData);
  auto guarded = [](auto&& fn) {
    try {
      fn();
    } catch (const std::exception& ex) {
      std::cerr << "serial notice handler: " << ex.what() << std::endl;
    }
  };
  bool aborted = false;
  for (size_t i = 0; !aborted; ++i) {
    EventEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= events_.size()) break;
      e = events_[i];
      // In flight from here on, so that a removal now waits for this call.
      if (!e.deleted && !e.sync) SetInFlight(e.id);
    }
    if (e.deleted) continue;
    uint64_t call = ring->BeginConsumer();
    guarded([&] {
      if (e.sync)
        CallSynchronised(e, call, n);
      else
        CallHere(call, [&] { e.handler(n.msg, n.wParam, n.lParam); });
    });
    ring->EndConsumer();
    aborted = closing_;
  }
  for (size_t i = 0; !aborted; ++i) {
    ProcEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= procs_.size()) break;
      e = procs_[i];
      if (!e.deleted) SetInFlight(e.id);
    }
    if (e.deleted) continue;
    uint64_t call = ring->BeginConsumer();
    guarded([&] { CallHere(call, [&] { e.proc(n.msg, n.wParam, n.lParam); }); });
    ring->EndConsumer();
    aborted = closing_;
  }
  for (size_t i = 0; !aborted && i < windowsServed; ++i) {
    WndEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= windows_.size()) break;
      e = windows_[i];
    }
    if (e.deleted || !host_) continue;
    uint64_t call = ring->BeginConsumer();
    host_->Send(e.window, n.msg, n.wParam, n.lParam, timeoutMs_, nullptr,
                [ring, call](bool handling) { ring->SetReader(call, handling); });
    // A handler still running has had its time: from now on its reads are plain.
    ring->EndConsumer();
    aborted = closing_;
  }
  bool consumed = ring->EndNotice(aborted, n.msg == kMsgTriggerAvail, n.wParam);
  std::lock_guard state(stateLock_);
  delivering_ = false;
  FinishLocked();
  return consumed;
}

void NoticeHub::CallSynchronised(const EventEntry& entry, uint64_t call, const Notice& notice) {
  if (!host_) return;
  SyncCallData data{&entry, notice};
  // Like a thread synchronising with the window thread: no time limit of its own.
  std::shared_ptr<RxRing> ring = ring_;
  host_->Send(syncTarget_.get(), kMsgSyncCall, reinterpret_cast<uintptr_t>(&data), 0,
              UINT32_MAX / 2, nullptr,
              [ring, call](bool handling) { ring->SetReader(call, handling); });
}

void NoticeHub::RunSyncCall(const SyncCallData& call) {
  {
    std::lock_guard state(stateLock_);
    // Removed while the call waited for the window thread.
    auto it = std::find_if(events_.begin(), events_.end(),
                           [&](const EventEntry& e) { return e.id == call.entry->id; });
    if (it == events_.end() || it->deleted) return;
    SetInFlight(call.entry->id);
  }
  struct Clear {
    NoticeHub& hub;
    ~Clear() { hub.SetInFlight(0); }
  } clear{*this};
  const Notice& n = call.notice;
  call.entry->handler(n.msg, n.wParam, n.lParam);
}

void NoticeHub::SetInFlight(uint64_t id) {
  {
    std::lock_guard lock(flightMutex_);
    inFlightId_ = id;
    inFlightThread_ = id ? std::this_thread::get_id() : std::thread::id();
  }
  if (id == 0) flightCv_.notify_all();
}

void NoticeHub::WaitNotInFlight(const std::vector<uint64_t>& ids) {
  if (ids.empty()) return;
  std::unique_lock lock(flightMutex_);
  flightCv_.wait(lock, [&] {
    // A consumer removing itself (or another) from inside a call runs on the calling
    // thread: waiting there would wait for ourselves.
    return inFlightThread_ == std::this_thread::get_id() ||
           std::find(ids.begin(), ids.end(), inFlightId_) == ids.end();
  });
}

void NoticeHub::FinishLocked() {
  if (deletionsPending_) {
    std::erase_if(windows_, [](const WndEntry& e) { return e.deleted; });
    std::erase_if(procs_, [](const ProcEntry& e) { return e.deleted; });
    std::erase_if(events_, [](const EventEntry& e) { return e.deleted; });
    deletionsPending_ = false;
  }
  RecomputeWantLocked();
}

void NoticeHub::RecomputeWantLocked() {
  auto live = [](const auto& list) {
    return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.deleted; });
  };
  auto windows = live(windows_);
  wanted_ = live(events_) > 0 || live(procs_) > 0 ||
            (windows > 0 && (windows > 1 || ownWindowWants_));
}

bool NoticeHub::SetPromptWait(bool waiting) {
  std::lock_guard state(stateLock_);
  return promptWait_.exchange(waiting);
}

void NoticeHub::SetOwnWindowWants(bool wants) {
  std::lock_guard state(stateLock_);
  ownWindowWants_ = wants;
  RecomputeWantLocked();
}

// ================================================================ consumers

// Marks the matching entries deleted, or erases them at once when no notice is being
// delivered. Returns the ids of thread-side entries that were marked.
template <typename List, typename Match>
std::vector<uint64_t> NoticeHub::MarkOrEraseLocked(List& list, Match match) {
  std::vector<uint64_t> marked;
  for (auto& e : list)
    if (match(e)) {
      e.deleted = true;
      deletionsPending_ = true;
      if constexpr (requires { e.id; }) marked.push_back(e.id);
    }
  if (!delivering_) FinishLocked();
  RecomputeWantLocked();
  return marked;
}

void NoticeHub::AddWindow(MessageTarget* window) {
  std::lock_guard state(stateLock_);
  windows_.push_back({window, false});
  RecomputeWantLocked();
}

void NoticeHub::AddProc(TTriggerProc proc) {
  std::lock_guard state(stateLock_);
  procs_.push_back({proc, false, nextId_++});
  RecomputeWantLocked();
}

void NoticeHub::AddEvent(const void* object, TTriggerHandler handler, bool synchronised) {
  std::lock_guard state(stateLock_);
  events_.push_back({object, std::move(handler), false, synchronised, nextId_++});
  RecomputeWantLocked();
}

void NoticeHub::RemoveWindow(MessageTarget* window) {
  std::lock_guard state(stateLock_);
  MarkOrEraseLocked(windows_, [&](const WndEntry& e) { return e.window == window; });
}

// The caller may free what a thread-side consumer uses as soon as the removal
// returns, so a call of it running on another thread is waited for.
void NoticeHub::RemoveProc(TTriggerProc proc) {
  std::vector<uint64_t> marked;
  {
    std::lock_guard state(stateLock_);
    marked = MarkOrEraseLocked(procs_, [&](const ProcEntry& e) { return e.proc == proc; });
  }
  WaitNotInFlight(marked);
}

void NoticeHub::RemoveEvent(const void* object, bool synchronised) {
  std::vector<uint64_t> marked;
  {
    std::lock_guard state(stateLock_);
    marked = MarkOrEraseLocked(events_, [&](const EventEntry& e) {
      return e.object == object && e.sync == synchronised;
    });
  }
  WaitNotInFlight(marked);
}

}  // namespace zarnik
