#include "serial/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "serial/serial_exceptions.h"

namespace zarnik {

namespace {

constexpr uint32_t kCommWaitMs = 200;
// Received bytes that follow the last ones handed on by less than this wait with
// them until it has passed, so that a steady stream (a line at 115200 baud comes a
// few bytes a millisecond) makes one data notice of many small reads. The first
// bytes after a quiet spell go on at once; so does everything during a prompt wait.
// Well under a tick: no reply waited for in ticks can tell.
constexpr auto kRxGather = std::chrono::milliseconds(10);
constexpr uint32_t kWriteWaitMinUs = 50;
constexpr uint32_t kWriteWaitMaxUs = 2000;
constexpr uint32_t kStartAckMs = 3000;
constexpr uint32_t kFlushAckMs = 5000;

// Keeps a thread counted in for as long as it runs, whatever way it ends.
class ThreadCounter {
 public:
  ThreadCounter(std::atomic<int>& count, std::atomic<bool>& running)
      : count_(count), running_(running) {}
  ~ThreadCounter() {
    count_.fetch_sub(1);
    running_.store(false);
  }

 private:
  std::atomic<int>& count_;
  std::atomic<bool>& running_;
};

}  // namespace

// ================================================================ threads

void TBaseDispatcher::StopWorkers() {
  stopThreads_ = true;
  device_->CancelWaits();
  SignalAll();
  JoinThread(outThread_, outRunning_, UINT64_MAX, false);
  JoinThread(commThread_, commRunning_, UINT64_MAX, false);
}

void TBaseDispatcher::SignalAll() {
  {
    std::lock_guard lock(syncMutex_);
  }
  syncCv_.notify_all();
  outCv_.notify_all();
  rx_->Wake();
}

void TBaseDispatcher::RaiseFlag(bool& flag) {
  {
    std::lock_guard lock(syncMutex_);
    flag = true;
  }
  (&flag == &txWake_ ? outCv_ : syncCv_).notify_all();
}

// Waits for a thread to end, servicing the window thread's queue meanwhile (a thread
// may be sending it a notice), then joins it. A thread cannot be killed: after maxMs
// it is joined anyway.
void TBaseDispatcher::JoinThread(std::thread& t, std::atomic<bool>& running, uint64_t maxMs,
                                 bool pump) {
  if (!t.joinable() || t.get_id() == std::this_thread::get_id()) return;
  pump = pump && host_ && host_->IsWindowThread();
  uint64_t start = TickClockMs();
  while (running.load() && TickClockMs() - start < maxMs) {
    if (pump)
      host_->WaitAndProcessMessages(2);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  t.join();
}

void TBaseDispatcher::StartDispatcher() {
  std::lock_guard state(stateLock_);
  if (threadsActive_) throw ESerialException(ecBadArgument, "Dispatcher already started");
  threadsActive_ = true;
  stopThreads_ = false;
  {
    std::lock_guard lock(syncMutex_);
    threadsStarted_ = 0;
    dispEnded_ = false;
  }
  int expected = 0;
  auto start = [&](std::thread& t, std::atomic<bool>& running, void (TBaseDispatcher::*body)()) {
    running = true;
    threadCount_.fetch_add(1);
    t = std::thread(body, this);
    ++expected;
    std::unique_lock lock(syncMutex_);
    syncCv_.wait_for(lock, std::chrono::milliseconds(kStartAckMs),
                     [&] { return threadsStarted_ >= expected; });
  };
  start(commThread_, commRunning_, &TBaseDispatcher::CommThreadRun);
  start(dispThread_, dispRunning_, &TBaseDispatcher::DispThreadRun);
  start(outThread_, outRunning_, &TBaseDispatcher::OutThreadRun);
}

void TBaseDispatcher::StopDispatcher() {
  if (!threadsActive_) return;
  StopWorkers();
  // The dispatcher thread may be waiting for the window thread to take a notice.
  JoinThread(dispThread_, dispRunning_, 2 * 36 * kTickMs, true);
  if (threadCount_ == 0) threadsActive_ = false;
}

// ================================================================ thread bodies

// Tells StartDispatcher that one more thread runs.
void TBaseDispatcher::ThreadStarted() {
  {
    std::lock_guard lock(syncMutex_);
    ++threadsStarted_;
  }
  syncCv_.notify_all();
}

void TBaseDispatcher::CommThreadRun() {
  ThreadCounter counter(threadCount_, commRunning_);
  ThreadStarted();
  try {
    std::chrono::steady_clock::time_point lastRx{};
    while (!stopThreads_) {
      int events = WaitComEvent(kCommMask, kCommWaitMs);
      if (stopThreads_) break;
      if (events == int(evRxChar)) events = GatherReceived(events, lastRx + kRxGather);
      if (events == deNotConnected) {
        // Nothing will come from this device again, and waiting on it would spin.
        LineGone();
        break;
      }
      if (events <= 0) continue;
      if (events & evRxChar) lastRx = std::chrono::steady_clock::now();
      if (events & (evRing | evRingTe)) ringSeen_ = true;
      lastEventMask_.fetch_or(static_cast<uint32_t>(events));
      {
        std::lock_guard lock(syncMutex_);
        dispatchDone_ = false;
        wakeDispatch_ = true;
      }
      syncCv_.notify_all();
      std::unique_lock lock(syncMutex_);
      syncCv_.wait(lock, [&] { return dispatchDone_ || stopThreads_.load(); });
    }
  } catch (const std::exception& e) {
    std::cerr << "serial comm thread: " << e.what() << std::endl;
  }
}

// Lets received bytes gather in the device until `until`, watching meanwhile for
// line changes and errors, which go on at once with what has come.
int TBaseDispatcher::GatherReceived(int events, std::chrono::steady_clock::time_point until) {
  for (bool counted = false;; counted = true) {
    if (stopThreads_ || hub_->PromptWaitLocked()) return events;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return events;
    if (!counted) ++gathers_;
    // A lost device is reported by the next wait, after its last bytes.
    int more = WaitComEvent(kCommMask & ~evRxChar, static_cast<uint32_t>(left.count()));
    if (more < 0) return events;
    if (more > 0) return events | more;
  }
}

void TBaseDispatcher::DispThreadRun() {
  ThreadCounter counter(threadCount_, dispRunning_);
  ThreadStarted();
  try {
    for (;;) {
      {
        std::unique_lock lock(syncMutex_);
        syncCv_.wait_for(lock, std::chrono::milliseconds(kDispatchWakeMs),
                         [&] { return wakeDispatch_ || stopThreads_.load(); });
        wakeDispatch_ = false;
      }
      if (stopThreads_ || closeAfterNotice_) break;
      DispatchOnce(lastEventMask_.exchange(0));
      ++rounds_;
      if (stopThreads_ || closeAfterNotice_) break;
    }
  } catch (const std::exception& e) {
    std::cerr << "serial dispatcher thread: " << e.what() << std::endl;
  }
  bool finishClose;
  {
    std::lock_guard lock(syncMutex_);
    dispatchDone_ = true;  // a comm thread still waiting for this round goes on
    dispEnded_ = true;
    finishClose = closeAfterNotice_;
  }
  syncCv_.notify_all();
  // Closed from inside a notice or a prompt wait, and DonePort came first.
  if (finishClose) FinishDeferredClose();
}

void TBaseDispatcher::OutThreadRun() {
  ThreadCounter counter(threadCount_, outRunning_);
  ThreadStarted();
  try {
    for (;;) {
      {
        std::unique_lock lock(syncMutex_);
        outCv_.wait(lock, [&] { return txWake_ || txFlush_ || stopThreads_.load(); });
        if (txFlush_) {
          txFlush_ = false;
          flushDone_ = true;
          syncCv_.notify_all();
          continue;
        }
        if (stopThreads_) break;
        txWake_ = false;
      }
      WriteOut();
      if (stopThreads_ || closeAfterNotice_) break;
    }
  } catch (const std::exception& e) {
    std::cerr << "serial writer thread: " << e.what() << std::endl;
  }
  // A flush waiting for the writer need not wait for one that has gone.
  RaiseFlag(flushDone_);
}

void TBaseDispatcher::LineGone() {
  lineLost_ = true;
  // A wait for bytes or for the output ends now rather than at its time-out.
  rx_->Wake();
  OutputChanged();
  CallWakeup(lineLostWakeup_);
}

void TBaseDispatcher::OutputChanged() {
  CallWakeup(outputWakeup_);
}

// Hands the output ring to the device and takes bytes off it once the device has
// sent them. While the device is busy it waits: growing steps while nothing moves;
// once everything is handed, about as long as what the device holds takes to go out
// (a device that can tell wakes it at its own drain), so that a transmission does
// not cost a wake-up for every few characters.
void TBaseDispatcher::WriteOut() {
  uint32_t waitUs = kWriteWaitMinUs;
  for (;;) {
    {
      std::lock_guard lock(syncMutex_);
      if (txFlush_) {
        txFlush_ = false;
        flushDone_ = true;
        syncCv_.notify_all();
        return;
      }
    }
    if (stopThreads_) return;
    TxRing::Piece piece;
    if (!tx_.NextPiece(piece)) return;
    bool progress = false;
    bool dropped = false, sentAll = false;
    if (!piece.bytes.empty()) {
      int written = device_->Write(piece.bytes.data(), piece.bytes.size());
      // Flushed meanwhile: these bytes belong to nobody in the ring now.
      if (!tx_.Handed(piece, written, dropped)) continue;
      progress = written != 0;
    }
    const uint32_t queued = device_->TransmitQueue();
    int sent = tx_.Sent(piece.generation, queued, sentAll);
    if (sent < 0) continue;
    progress = progress || sent > 0;
    bool allHanded = tx_.AllHanded();
    if (dropped || sentAll) OutputChanged();
    if (allHanded) {
      uint64_t drainUs = uint64_t(queued) * charNs_.load() / 1000;
      waitUs = static_cast<uint32_t>(
          std::clamp<uint64_t>(drainUs, kWriteWaitMinUs, kWriteWaitMaxUs));
    } else if (progress) {
      waitUs = kWriteWaitMinUs;
      continue;
    }
    device_->WaitTransmit(waitUs);
    if (!progress && !allHanded) waitUs = std::min(waitUs * 2, kWriteWaitMaxUs);
  }
}

// ================================================================ dispatching

void TBaseDispatcher::StatusLoop() {
  while (!closeAfterNotice_ && CheckStatusTriggers()) {
  }
}

void TBaseDispatcher::DispatchOnce(uint32_t mask) {
  if (mask & kModemEventMask) {
    UpdateModemStatus();
    if (!EventBusy()) StatusLoop();
  }
  if (mask & kErrorEventMask) {
    RefreshStatus();
    if (!EventBusy()) StatusLoop();
  }
  ExtractReceived();
  if (!EventBusy()) {
    StatusLoop();
    while (!closeAfterNotice_ && CheckReceiveTriggers()) {
    }
  }
  {
    std::lock_guard state(stateLock_);
    for (auto& t : triggers_.statuses) t.fired = false;
  }
  RaiseFlag(dispatchDone_);
  if (closeAfterNotice_ || EventBusy()) return;
  while (!closeAfterNotice_) {
    bool status = CheckStatusTriggers();
    bool timer = !closeAfterNotice_ && CheckTimerTriggers();
    if (!status && !timer) break;
  }
}

void TBaseDispatcher::ExtractReceived() {
  if (rx_->Released() || rx_->Full()) return;
  TComStat stat;
  GetComError(stat);
  size_t got = rx_->Fill(stat.cbInQue, [this](uint8_t* dst, size_t n) { return ReadCom(dst, n); });
  if (got == 0) return;
  CallWakeup(receiveWakeup_);
}

bool TBaseDispatcher::StatusConditionLocked(TStatusTrigger& t, uint16_t& data) {
  data = 0;
  switch (t.kind) {
    case stModem: {
      std::lock_guard status(statusLock_);
      return ((modemStatus_ ^ t.levels) & t.value) != 0;
    }
    case stLineError: {
      std::lock_guard status(statusLock_);
      return (lineErrors_ & t.value) != 0;
    }
    case stOutbuffFree: {
      int free = OutBuffFree();
      data = static_cast<uint16_t>(free);
      return free >= t.value;
    }
    case stOutbuffUsed: {
      int used = OutBuffUsed();
      data = static_cast<uint16_t>(used);
      return used <= t.value;
    }
    case stOutSent:
      return outputSent_.exchange(false);
    default:
      return false;
  }
}

// A trigger is disarmed only together with taking the notice slot: a prompt wait
// that holds the slot leaves it armed, to fire when the wait is over.
bool TBaseDispatcher::TakeSlotLocked(bool& reserved) {
  reserved = false;
  if (!hub_->Wanted()) return true;
  reserved = hub_->ReserveLocked();
  return reserved;
}

bool TBaseDispatcher::CheckStatusTriggers() {
  uint16_t handle = 0, data = 0;
  bool reserved = false;
  {
    std::lock_guard state(stateLock_);
    if (hub_->PromptWaitLocked()) return false;
    for (auto& t : triggers_.statuses) {
      if (!t.armed || t.fired || !StatusConditionLocked(t, data)) continue;
      handle = t.handle;
      if (!TakeSlotLocked(reserved)) return false;
      t.armed = false;
      t.fired = true;
      break;
    }
  }
  if (handle == 0) return false;
  if (reserved) hub_->Deliver(hub_->Make(kMsgTriggerStatus, handle, data));
  return true;
}

bool TBaseDispatcher::CheckTimerTriggers() {
  uint16_t handle = 0;
  bool reserved = false;
  {
    std::lock_guard state(stateLock_);
    if (hub_->PromptWaitLocked()) return false;
    for (auto& t : triggers_.timers) {
      if (!t.active || !t.timer.Expired()) continue;
      handle = t.handle;
      if (!TakeSlotLocked(reserved)) return false;
      t.active = false;
      break;
    }
  }
  if (handle == 0) return false;
  if (reserved) hub_->Deliver(hub_->Make(kMsgTriggerTimer, handle));
  return true;
}

bool TBaseDispatcher::CheckReceiveTriggers() {
  std::vector<std::pair<uint16_t, uint16_t>> matches;  // data triggers: handle, bytes to match end
  size_t waiting = 0;
  bool announce;
  {
    std::lock_guard state(stateLock_);
    // Bytes a prompt wait is reading are for nobody else; they are announced (what
    // is left of them) when the wait is over.
    if (hub_->PromptWaitLocked()) return false;
    // Data triggers look at the bytes that came since the last look.
    rx_->ScanFresh([&](uint8_t byte, size_t upTo) {
      for (auto& t : triggers_.datas) {
        if (t.text.empty()) continue;
        char c = static_cast<char>(t.ignoreCase ? std::toupper(byte) : byte);
        t.matched = AdvanceMatch(t.text, t.matched, c);
        if (t.matched == t.text.size()) {
          t.matched = 0;
          matches.emplace_back(t.handle, static_cast<uint16_t>(upTo));
        }
      }
    });
    announce = rx_->TakeAnnouncement(availLength_, waiting);
  }
  bool fired = false;
  if (announce) fired = hub_->Send(hub_->Make(kMsgTriggerAvail, waiting));
  for (auto [handle, upTo] : matches) {
    if (closeAfterNotice_) break;
    hub_->Send(hub_->Make(kMsgTriggerData, handle, upTo));
    fired = true;
  }
  return fired;
}

void TBaseDispatcher::WaitReceive(uint32_t maxMs) {
  rx_->WaitForBytes(maxMs, [this] { return stopThreads_.load() || lineLost_.load(); });
}

// ================================================================ receiving

int TBaseDispatcher::ChangeLengthTrigger(uint16_t length) {
  availLength_ = length;
  return 0;
}

bool TBaseDispatcher::CharReady() { return rx_->CharReady(); }

int TBaseDispatcher::GetChar() {
  uint8_t c;
  int r = rx_->Read(&c, 1, true);
  return r < 0 ? r : c;
}

int TBaseDispatcher::PeekChar(uint16_t n) {
  uint8_t c;
  int r = rx_->Read(&c, 1, false, n);
  return r < 0 ? r : c;
}

int TBaseDispatcher::GetBlock(void* buf, size_t len) { return rx_->Read(buf, len, true); }
int TBaseDispatcher::PeekBlock(void* buf, size_t len) { return rx_->Read(buf, len, false); }
int TBaseDispatcher::InBuffUsed() { return rx_->Used(); }
int TBaseDispatcher::InBuffFree() { return static_cast<int>(kRxBufferSize) - InBuffUsed(); }

int TBaseDispatcher::FlushInBuffer() {
  {
    std::lock_guard state(stateLock_);
    for (auto& t : triggers_.datas) t.matched = 0;
  }
  rx_->Flush();
  return FlushCom(purgeRxAbort | purgeRxClear);
}

// ================================================================ sending

int TBaseDispatcher::PutBlock(const void* buf, size_t n) {
  if (n == 0) return 0;
  int r = tx_.Put(buf, n);
  if (r < 0) return r;
  outputSent_ = true;
  RaiseFlag(txWake_);
  return r;
}

int TBaseDispatcher::OutBuffUsed() { return tx_.Used(); }
int TBaseDispatcher::OutBuffFree() { return tx_.Free(); }

int TBaseDispatcher::FlushOutBuffer() {
  // The writer holds bytes only while the ring has them (they leave it once sent):
  // an empty ring needs no hand-shake, which would cost the gap between two blocks
  // a round trip through the writer thread.
  if (outRunning_ && tx_.Used() > 0) {
    {
      std::lock_guard lock(syncMutex_);
      txFlush_ = true;
      flushDone_ = false;
    }
    device_->CancelWaits();
    outCv_.notify_all();
    std::unique_lock lock(syncMutex_);
    syncCv_.wait_for(lock, std::chrono::milliseconds(kFlushAckMs),
                     [&] { return flushDone_ || !outRunning_.load(); });
  }
  tx_.Flush();
  return FlushCom(purgeTxAbort | purgeTxClear);
}

// ================================================================ triggers

int TBaseDispatcher::AddTimerTrigger() {
  std::lock_guard state(stateLock_);
  int handle = triggers_.NewHandle();
  if (handle < 0) return handle;
  triggers_.timers.push_back({static_cast<uint16_t>(handle), false, {}});
  return handle;
}

int TBaseDispatcher::AddStatusTrigger(uint16_t kind) {
  if (kind < stModem || kind > stOutSent) return ecBadArgument;
  std::lock_guard state(stateLock_);
  int handle = triggers_.NewHandle();
  if (handle < 0) return handle;
  TStatusTrigger t;
  t.handle = static_cast<uint16_t>(handle + kind);
  t.kind = kind;
  triggers_.statuses.push_back(t);
  return t.handle;
}

int TBaseDispatcher::AddDataTrigger(std::string_view text, bool ignoreCase) {
  std::lock_guard state(stateLock_);
  int handle = triggers_.NewHandle();
  if (handle < 0) return handle;
  std::string t(text);
  if (ignoreCase)
    for (auto& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  triggers_.datas.push_back({static_cast<uint16_t>(handle), std::move(t), ignoreCase, 0});
  return handle;
}

int TBaseDispatcher::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
  std::lock_guard state(stateLock_);
  auto* t = triggers_.FindTimer(handle);
  if (!t) return ecBadTriggerHandle;
  t->active = activate;
  if (activate) t->timer.Start(ticks);
  return 0;
}

int TBaseDispatcher::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
  std::lock_guard state(stateLock_);
  auto* t = triggers_.FindStatus(handle);
  if (!t) return ecBadTriggerHandle;
  t->armed = activate;
  t->value = value;
  if (activate && t->kind == stModem) {
    UpdateModemStatus();
    std::lock_guard status(statusLock_);
    t->levels = modemStatus_;
  }
  return 0;
}

int TBaseDispatcher::RemoveTrigger(uint16_t handle) {
  if (handle == kAvailTriggerHandle) {
    availLength_ = 0;
    return 0;
  }
  std::lock_guard state(stateLock_);
  return triggers_.Remove(handle) ? 0 : ecBadTriggerHandle;
}

int TBaseDispatcher::RemoveAllTriggers() {
  std::lock_guard state(stateLock_);
  triggers_.Clear();
  return 0;
}

int TBaseDispatcher::ClassifyStatusTrigger(uint16_t handle) {
  std::lock_guard state(stateLock_);
  auto* t = triggers_.FindStatus(handle);
  return t ? t->kind : ecBadTriggerHandle;
}

void TBaseDispatcher::SaveTriggers(TTriggerSave& save) {
  std::lock_guard state(stateLock_);
  save.lastHandle = triggers_.lastHandle;
  save.availLength = availLength_;
  save.timers = triggers_.timers;
  save.statuses = triggers_.statuses;
  save.datas = triggers_.datas;
}

void TBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
  UpdateModemStatus();
  std::lock_guard state(stateLock_);
  triggers_.lastHandle = save.lastHandle;
  availLength_ = save.availLength;
  triggers_.timers = save.timers;
  triggers_.statuses = save.statuses;
  triggers_.datas = save.datas;
  // Armed modem triggers watch for changes from now on, not from before the close.
  std::lock_guard status(statusLock_);
  for (auto& t : triggers_.statuses) {
    t.fired = false;
    if (t.kind == stModem) t.levels = modemStatus_;
  }
}

}  // namespace zarnik
