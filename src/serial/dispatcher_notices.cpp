// Notice delivery and consumer registration of the dispatcher: which consumers hear
// a notice, in what order, how their reads of a data notice are told apart (see
// RxRing), and how a deregistration waits for a call that is running elsewhere.
#include <algorithm>
#include <iostream>

#include "serial/dispatcher.h"

namespace zarnik {

namespace {
constexpr uint32_t kMsgSyncCall = 0x7E0C;
}  // namespace

struct TBaseDispatcher::SyncCallData {
  const EventEntry* entry;
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

// Runs synchronised event handlers on the window thread.
class TBaseDispatcher::SyncTarget : public MessageTarget {
 public:
  explicit SyncTarget(TBaseDispatcher& owner) : owner_(owner) {}
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg == kMsgSyncCall) owner_.RunSyncCall(*reinterpret_cast<const SyncCallData*>(wParam));
    return 0;
  }

 private:
  TBaseDispatcher& owner_;
};

std::unique_ptr<MessageTarget> TBaseDispatcher::NewSyncTarget(TBaseDispatcher& owner) {
  return std::make_unique<SyncTarget>(owner);
}

void TBaseDispatcher::SyncCall(const EventEntry& entry, uint64_t call, uint32_t msg,
                               uintptr_t wParam, intptr_t lParam) {
  if (!host_) return;
  SyncCallData data{&entry, msg, wParam, lParam};
  // Like a thread synchronising with the window thread: no time limit of its own.
  std::shared_ptr<RxRing> ring = rx_;
  host_->Send(syncTarget_.get(), kMsgSyncCall, reinterpret_cast<uintptr_t>(&data), 0,
              UINT32_MAX / 2, nullptr,
              [ring, call](bool handling) { ring->SetReader(call, handling); });
}

void TBaseDispatcher::RunSyncCall(const SyncCallData& call) {
  {
    std::lock_guard state(stateLock_);
    // Deregistered while the call waited for the window thread.
    auto it = std::find_if(eventHandlers_.begin(), eventHandlers_.end(),
                           [&](const EventEntry& e) { return e.id == call.entry->id; });
    if (it == eventHandlers_.end() || it->deleted) return;
    SetInFlight(call.entry->id);
  }
  struct Clear {
    TBaseDispatcher& d;
    ~Clear() { d.SetInFlight(0); }
  } clear{*this};
  call.entry->handler(call.msg, call.wParam, call.lParam);
}

void TBaseDispatcher::SetInFlight(uint64_t id) {
  {
    std::lock_guard lock(flightMutex_);
    inFlightId_ = id;
    inFlightThread_ = id ? std::this_thread::get_id() : std::thread::id();
  }
  if (id == 0) flightCv_.notify_all();
}

void TBaseDispatcher::WaitNotInFlight(const std::vector<uint64_t>& ids) {
  if (ids.empty()) return;
  std::unique_lock lock(flightMutex_);
  flightCv_.wait(lock, [&] {
    // A consumer deregistering itself (or another) from inside a call runs on the
    // calling thread: waiting there would wait for ourselves.
    return inFlightThread_ == std::this_thread::get_id() ||
           std::find(ids.begin(), ids.end(), inFlightId_) == ids.end();
  });
}

bool TBaseDispatcher::ReserveNoticeLocked() {
  if (eventBusy_ || noticeBusy_) return false;
  noticeBusy_ = true;
  delivering_ = true;
  return true;
}

bool TBaseDispatcher::SendNotify(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  {
    std::lock_guard state(stateLock_);
    if (!wantNotices_) return true;
    // A prompt wait took the flag first: its bytes are for nobody else.
    if (!ReserveNoticeLocked()) return false;
  }
  return DeliverNotice(msg, wParam, lParam);
}

// Delivers one notice to every consumer in turn; true when it counts as consumed.
bool TBaseDispatcher::DeliverNotice(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  size_t windowsServed = 0;
  {
    std::lock_guard state(stateLock_);
    size_t windows = std::count_if(wndHandlers_.begin(), wndHandlers_.end(),
                                   [](const WndEntry& e) { return !e.deleted; });
    windowsServed = (windows > 1 || ownWindowWants_) ? wndHandlers_.size() : 0;
  }
  // Held by every step that may run after this call has moved on (the host's step
  // after a window handler that outlived its time, which may have closed the port).
  std::shared_ptr<RxRing> ring = rx_;
  ring->BeginNotice(msg == kMsgTriggerAvail || msg == kMsgTriggerData);
  // A consumer on this thread reads the notice while it runs.
  auto here = [&](uint64_t call, auto&& fn) {
    struct Reading {
      TBaseDispatcher& d;
      RxRing& ring;
      uint64_t call;
      ~Reading() {
        ring.SetReader(call, false);
        d.SetInFlight(0);
      }
    } reading{*this, *ring, call};
    ring->SetReader(call, true);
    fn();
  };
  bool aborted = false;
  for (size_t i = 0; !aborted; ++i) {
    EventEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= eventHandlers_.size()) break;
      e = eventHandlers_[i];
      // In flight from here on, so that a deregistration now waits for this call.
      if (!e.deleted && !e.sync) SetInFlight(e.id);
    }
    if (e.deleted) continue;
    uint64_t call = ring->BeginConsumer();
    try {
      if (e.sync)
        SyncCall(e, call, msg, wParam, lParam);
      else
        here(call, [&] { e.handler(msg, wParam, lParam); });
    } catch (const std::exception& ex) {
      std::cerr << "serial notice handler: " << ex.what() << std::endl;
    }
    ring->EndConsumer();
    aborted = closeAfterNotice_;
  }
  for (size_t i = 0; !aborted; ++i) {
    ProcEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= procHandlers_.size()) break;
      e = procHandlers_[i];
      if (!e.deleted) SetInFlight(e.id);
    }
    if (e.deleted) continue;
    uint64_t call = ring->BeginConsumer();
    try {
      here(call, [&] { e.proc(msg, wParam, lParam); });
    } catch (const std::exception& ex) {
      std::cerr << "serial notice handler: " << ex.what() << std::endl;
    }
    ring->EndConsumer();
    aborted = closeAfterNotice_;
  }
  for (size_t i = 0; !aborted && i < windowsServed; ++i) {
    WndEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= wndHandlers_.size()) break;
      e = wndHandlers_[i];
    }
    if (e.deleted || !host_) continue;
    uint64_t call = ring->BeginConsumer();
    host_->Send(e.window, msg, wParam, lParam, noticeTimeoutMs_, nullptr,
                [ring, call](bool handling) { ring->SetReader(call, handling); });
    // A handler still running has had its time: from now on its reads are plain.
    ring->EndConsumer();
    aborted = closeAfterNotice_;
  }
  bool consumed = ring->EndNotice(aborted, msg == kMsgTriggerAvail, wParam);
  {
    std::lock_guard state(stateLock_);
    noticeBusy_ = false;
    delivering_ = false;
    FinishNoticeLocked();
  }
  return consumed;
}

void TBaseDispatcher::FinishNoticeLocked() {
  if (deletionsPending_) {
    std::erase_if(wndHandlers_, [](const WndEntry& e) { return e.deleted; });
    std::erase_if(procHandlers_, [](const ProcEntry& e) { return e.deleted; });
    std::erase_if(eventHandlers_, [](const EventEntry& e) { return e.deleted; });
    deletionsPending_ = false;
  }
  RecomputeWantLocked();
}

void TBaseDispatcher::RecomputeWantLocked() {
  auto live = [](const auto& list) {
    return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.deleted; });
  };
  auto windows = live(wndHandlers_);
  wantNotices_ = live(eventHandlers_) > 0 || live(procHandlers_) > 0 ||
                 (windows > 0 && (windows > 1 || ownWindowWants_));
}

void TBaseDispatcher::UpdateHandlerFlags(THandlerFlagUpdate update) {
  std::lock_guard state(stateLock_);
  if (update == fuEnablePort) ownWindowWants_ = true;
  if (update == fuDisablePort) ownWindowWants_ = false;
  RecomputeWantLocked();
}

// ================================================================ consumers

namespace {
// Marks the matching entries deleted, or erases them at once when no notice is being
// delivered. Returns the ids of thread-side entries that were marked.
template <typename List, typename Match>
std::vector<uint64_t> MarkOrErase(List& list, bool delivering, bool& pending, Match match) {
  std::vector<uint64_t> marked;
  for (auto& e : list)
    if (match(e)) {
      e.deleted = true;
      pending = true;
      if constexpr (requires { e.id; }) marked.push_back(e.id);
    }
  if (!delivering) {
    std::erase_if(list, [](const auto& e) { return e.deleted; });
    pending = false;
  }
  return marked;
}
}  // namespace

void TBaseDispatcher::RegisterWndTriggerHandler(MessageTarget* window) {
  std::lock_guard state(stateLock_);
  wndHandlers_.push_back({window, false});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterWndTriggerHandler(MessageTarget* window) {
  std::lock_guard state(stateLock_);
  MarkOrErase(wndHandlers_, delivering_, deletionsPending_,
              [&](const WndEntry& e) { return e.window == window; });
  RecomputeWantLocked();
}

void TBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) {
  std::lock_guard state(stateLock_);
  procHandlers_.push_back({proc, false, nextEntryId_++});
  RecomputeWantLocked();
}

// The caller may free what a thread-side consumer uses as soon as deregistration
// returns, so a call of it running on another thread is waited for.
void TBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
  std::vector<uint64_t> marked;
  {
    std::lock_guard state(stateLock_);
    marked = MarkOrErase(procHandlers_, delivering_, deletionsPending_,
                         [&](const ProcEntry& e) { return e.proc == proc; });
    RecomputeWantLocked();
  }
  WaitNotInFlight(marked);
}

void TBaseDispatcher::RegisterEventTriggerHandler(const void* object, TTriggerHandler handler) {
  std::lock_guard state(stateLock_);
  eventHandlers_.push_back({object, std::move(handler), false, false, nextEntryId_++});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterEventTriggerHandler(const void* object) {
  std::vector<uint64_t> marked;
  {
    std::lock_guard state(stateLock_);
    marked = MarkOrErase(eventHandlers_, delivering_, deletionsPending_,
                         [&](const EventEntry& e) { return e.object == object && !e.sync; });
    RecomputeWantLocked();
  }
  WaitNotInFlight(marked);
}

void TBaseDispatcher::RegisterSyncEventTriggerHandler(const void* object, TTriggerHandler handler) {
  std::lock_guard state(stateLock_);
  eventHandlers_.push_back({object, std::move(handler), false, true, nextEntryId_++});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterSyncEventTriggerHandler(const void* object) {
  std::vector<uint64_t> marked;
  {
    std::lock_guard state(stateLock_);
    marked = MarkOrErase(eventHandlers_, delivering_, deletionsPending_,
                         [&](const EventEntry& e) { return e.object == object && e.sync; });
    RecomputeWantLocked();
  }
  WaitNotInFlight(marked);
}

bool TBaseDispatcher::SetEventBusy(bool busy) {
  std::lock_guard state(stateLock_);
  return eventBusy_.exchange(busy);
}

void TBaseDispatcher::SetReceiveWakeup(std::function<void()> wake) {
  std::lock_guard state(stateLock_);
  receiveWakeup_ = std::move(wake);
}

void TBaseDispatcher::SetOutputWakeup(std::function<void()> wake) {
  std::lock_guard state(stateLock_);
  outputWakeup_ = std::move(wake);
}

void TBaseDispatcher::SetLineLostWakeup(std::function<void()> wake) {
  std::lock_guard state(stateLock_);
  lineLostWakeup_ = std::move(wake);
}

}  // namespace zarnik
