#include "serial/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "serial/serial_exceptions.h"

namespace zarnik {

namespace {

std::vector<TBaseDispatcher*>& PortList() {
  static std::vector<TBaseDispatcher*> list;
  return list;
}

constexpr uint32_t kMsgSyncCall = 0x7E0C;
constexpr uint32_t kCommWaitMs = 200;
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

std::recursive_mutex& PortListMutex() {
  static std::recursive_mutex m;
  return m;
}
void LockPortList() { PortListMutex().lock(); }
void UnlockPortList() { PortListMutex().unlock(); }

TBaseDispatcher* PortListAt(int index) {
  std::lock_guard lock(PortListMutex());
  if (index < 0 || index >= static_cast<int>(PortList().size())) return nullptr;
  return PortList()[index];
}

int PortListCount() {
  std::lock_guard lock(PortListMutex());
  return static_cast<int>(PortList().size());
}

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

// ================================================================ life

TBaseDispatcher::TBaseDispatcher(Host* host) : host_(host), syncTarget_(new SyncTarget(*this)) {
  std::lock_guard lock(PortListMutex());
  auto& list = PortList();
  auto slot = std::find(list.begin(), list.end(), nullptr);
  if (slot == list.end()) slot = list.insert(list.end(), nullptr);
  *slot = this;
  portIndex_ = static_cast<int>(slot - list.begin());
  if (host_) host_->AddTarget(syncTarget_.get());
}

TBaseDispatcher::~TBaseDispatcher() {
  stopThreads_ = true;
  SignalAll();
  for (auto* t : {&commThread_, &dispThread_, &outThread_})
    if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
  if (host_) host_->RemoveTarget(syncTarget_.get());
  std::lock_guard lock(PortListMutex());
  auto& list = PortList();
  if (portIndex_ >= 0 && portIndex_ < static_cast<int>(list.size())) list[portIndex_] = nullptr;
  while (!list.empty() && list.back() == nullptr) list.pop_back();
}

void TBaseDispatcher::Shutdown() {
  if (closeAfterNotice_)
    DonePortPrim();
  else
    DonePort();
  JoinThread(outThread_, outRunning_, UINT64_MAX, false);
  JoinThread(commThread_, commRunning_, UINT64_MAX, false);
  JoinThread(dispThread_, dispRunning_, UINT64_MAX, true);
}

void TBaseDispatcher::StopWorkers() {
  stopThreads_ = true;
  DeviceCancelWaits();
  SignalAll();
  JoinThread(outThread_, outRunning_, UINT64_MAX, false);
  JoinThread(commThread_, commRunning_, UINT64_MAX, false);
}

void TBaseDispatcher::SignalAll() {
  {
    std::lock_guard lock(syncMutex_);
  }
  syncCv_.notify_all();
  rx_->Wake();
}

void TBaseDispatcher::RaiseFlag(bool& flag) {
  {
    std::lock_guard lock(syncMutex_);
    flag = true;
  }
  syncCv_.notify_all();
}

void TBaseDispatcher::WaitFlag(bool& flag, uint32_t maxMs) {
  std::unique_lock lock(syncMutex_);
  syncCv_.wait_for(lock, std::chrono::milliseconds(maxMs), [&] { return flag; });
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

int TBaseDispatcher::InitPort(const std::string& name, int32_t baud, int parity, int dataBits,
                              int stopBits, uint32_t inSize, uint32_t outSize, uint32_t options) {
  eventBusy_ = false;
  noticeBusy_ = false;
  closeAfterNotice_ = false;
  {
    std::lock_guard lock(syncMutex_);
    wakeDispatch_ = dispatchDone_ = txWake_ = txFlush_ = threadAck_ = false;
  }
  int r = OpenCom(name, inSize, outSize);
  if (r != 0) return r;
  r = SetupCom(inSize, outSize);
  if (r < 0) {
    DonePort();
    return r;
  }
  std::lock_guard state(stateLock_);
  rx_->Allocate();
  {
    std::lock_guard tx(txLock_);
    tx_.assign(std::max<uint32_t>(outSize, 1), 0);
    txHead_ = txTail_ = txHanded_ = 0;
    ++txGeneration_;
    txFull_ = false;
    buffersFreed_ = false;
  }
  inSize_ = inSize;
  outSize_ = std::max<uint32_t>(outSize, 1);
  options_ = options;
  rs485_ = false;
  triggers_.Clear();
  availLength_ = 1;
  {
    std::lock_guard status(statusLock_);
    lineErrors_ = 0;
    modemStatus_ = 0;
  }
  GetComState(dcb_);
  dtrHandshake_ = options & ipDtrHandshake;
  dtrOn_ = options & ipDtr;
  if (!dtrHandshake_) EscapeComFunction(dtrOn_ ? efSetDtr : efClrDtr);
  rtsHandshake_ = options & ipRtsHandshake;
  rtsOn_ = options & ipRts;
  if (!rtsHandshake_) EscapeComFunction(rtsOn_ ? efSetRts : efClrRts);
  UpdateModemStatus();
  {
    std::lock_guard status(statusLock_);
    modemStatus_ &= 0xF0;
  }
  lastBaud_ = kInitialBaud;
  r = SetLine(baud, parity, dataBits, stopBits);
  if (r < 0) {
    DonePort();
    return r;
  }
  RefreshStatus();
  TickClockMs();
  StartDispatcher();
  return 0;
}

void TBaseDispatcher::DonePort() {
  if (deviceOpen_) {
    FlushOutBuffer();
    FlushInBuffer();
    CloseCom();
  }
  if (EventBusy()) {
    // A notice (or a prompt wait) is in progress further up this very stack or on
    // the dispatcher thread: the threads end by themselves and the last one cleans up.
    closeAfterNotice_ = true;
    SignalAll();
  } else {
    DonePortPrim();
  }
}

void TBaseDispatcher::DonePortPrim() {
  if (threadsActive_) StopDispatcher();
  FreeBuffers();
}

void TBaseDispatcher::FreeBuffers() {
  rx_->Release();
  std::lock_guard tx(txLock_);
  buffersFreed_ = true;
  txHead_ = txTail_ = txHanded_ = 0;
  ++txGeneration_;
  txFull_ = false;
}

void TBaseDispatcher::StartDispatcher() {
  std::lock_guard state(stateLock_);
  if (threadsActive_) throw ESerialException(ecBadArgument, "Dispatcher already started");
  threadsActive_ = true;
  stopThreads_ = false;
  auto start = [&](std::thread& t, std::atomic<bool>& running, void (TBaseDispatcher::*body)()) {
    {
      std::lock_guard lock(syncMutex_);
      threadAck_ = false;
    }
    running = true;
    threadCount_.fetch_add(1);
    t = std::thread(body, this);
    WaitFlag(threadAck_, kStartAckMs);
  };
  start(commThread_, commRunning_, &TBaseDispatcher::CommThreadRun);
  start(dispThread_, dispRunning_, &TBaseDispatcher::DispThreadRun);
  start(outThread_, outRunning_, &TBaseDispatcher::OutThreadRun);
}

void TBaseDispatcher::StopDispatcher() {
  if (!threadsActive_) return;
  stopThreads_ = true;
  DeviceCancelWaits();
  SignalAll();
  JoinThread(outThread_, outRunning_, UINT64_MAX, false);
  JoinThread(commThread_, commRunning_, UINT64_MAX, false);
  // The dispatcher thread may be waiting for the window thread to take a notice.
  JoinThread(dispThread_, dispRunning_, 2 * 36 * kTickMs, true);
  if (threadCount_ == 0) threadsActive_ = false;
}

// ================================================================ threads

void TBaseDispatcher::CommThreadRun() {
  ThreadCounter counter(threadCount_, commRunning_);
  RaiseFlag(threadAck_);
  try {
    while (!stopThreads_) {
      int events = WaitComEvent(kCommMask, kCommWaitMs);
      if (stopThreads_) break;
      if (events <= 0) continue;
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
  RaiseFlag(threadAck_);
}

void TBaseDispatcher::DispThreadRun() {
  ThreadCounter counter(threadCount_, dispRunning_);
  RaiseFlag(threadAck_);
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
      if (stopThreads_ || closeAfterNotice_) break;
    }
  } catch (const std::exception& e) {
    std::cerr << "serial dispatcher thread: " << e.what() << std::endl;
  }
  RaiseFlag(threadAck_);
  RaiseFlag(dispatchDone_);
  // Closed from inside a notice: nobody else is left to finish the job.
  if (closeAfterNotice_) FreeBuffers();
}

void TBaseDispatcher::OutThreadRun() {
  ThreadCounter counter(threadCount_, outRunning_);
  RaiseFlag(threadAck_);
  try {
    for (;;) {
      {
        std::unique_lock lock(syncMutex_);
        syncCv_.wait(lock, [&] { return txWake_ || txFlush_ || stopThreads_.load(); });
        if (txFlush_) {
          txFlush_ = false;
          threadAck_ = true;
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
  RaiseFlag(threadAck_);
}

bool TBaseDispatcher::AdvanceTxTailLocked(size_t n) {
  size_t used = TxUsedLocked();
  n = std::min(n, used);
  if (n == 0) return false;
  txTail_ = static_cast<uint32_t>((txTail_ + n) % tx_.size());
  txFull_ = false;
  if (n != used) return false;
  txHead_ = txTail_ = 0;
  return true;
}

void TBaseDispatcher::OutputChanged() {
  std::function<void()> wake;
  {
    std::lock_guard state(stateLock_);
    wake = outputWakeup_;
  }
  if (wake) wake();
}

// Hands the output ring to the device and takes bytes off it once the device has
// sent them. Sleeps briefly (growing while nothing moves) while the device is busy.
void TBaseDispatcher::WriteOut() {
  uint32_t waitUs = kWriteWaitMinUs;
  for (;;) {
    {
      std::lock_guard lock(syncMutex_);
      if (txFlush_) {
        txFlush_ = false;
        threadAck_ = true;
        syncCv_.notify_all();
        return;
      }
    }
    if (stopThreads_) return;
    const uint8_t* piece = nullptr;
    size_t len = 0;
    uint64_t generation;
    {
      std::lock_guard tx(txLock_);
      generation = txGeneration_;
      size_t used = TxUsedLocked();
      if (used == 0 || buffersFreed_) {
        txHanded_ = 0;
        return;
      }
      if (txHanded_ < used) {
        size_t start = (txTail_ + txHanded_) % tx_.size();
        len = std::min(used - txHanded_, tx_.size() - start);
        // A copy: after a flush, puts may refill the very bytes being written.
        txScratch_.assign(tx_.begin() + start, tx_.begin() + start + len);
        piece = txScratch_.data();
      }
    }
    bool progress = false;
    bool emptied = false;
    if (len > 0) {
      int written = DeviceWrite(piece, len);
      std::lock_guard tx(txLock_);
      if (generation != txGeneration_) {
        continue;  // flushed meanwhile: these bytes belong to nobody in the ring now
      } else if (written < 0) {
        emptied = AdvanceTxTailLocked(txHanded_ + len);  // a failed write drops the block
        txHanded_ = 0;
        progress = true;
      } else if (written > 0) {
        txHanded_ += written;
        progress = true;
      }
    }
    uint32_t queued = DeviceTransmitQueue();
    bool allHanded;
    {
      std::lock_guard tx(txLock_);
      if (generation != txGeneration_) continue;
      if (queued < txHanded_) {
        emptied = AdvanceTxTailLocked(txHanded_ - queued) || emptied;
        txHanded_ = queued;
        progress = true;
      }
      allHanded = txHanded_ >= static_cast<uint32_t>(TxUsedLocked());
    }
    if (emptied) OutputChanged();
    if (progress) {
      waitUs = kWriteWaitMinUs;
      if (!allHanded) continue;
    }
    DeviceWaitTransmit(waitUs);
    if (!progress) waitUs = std::min(waitUs * 2, kWriteWaitMaxUs);
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
  std::function<void()> wake;
  {
    std::lock_guard state(stateLock_);
    wake = receiveWakeup_;
  }
  if (wake) wake();
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
// that holds the flag leaves it armed, to fire when the wait is over.
bool TBaseDispatcher::CheckStatusTriggers() {
  uint16_t handle = 0, data = 0;
  bool reserved = false;
  {
    std::lock_guard state(stateLock_);
    if (eventBusy_) return false;
    for (auto& t : triggers_.statuses) {
      if (!t.armed || t.fired || !StatusConditionLocked(t, data)) continue;
      handle = t.handle;
      if (wantNotices_) {
        if (!ReserveNoticeLocked()) return false;
        reserved = true;
      }
      t.armed = false;
      t.fired = true;
      break;
    }
  }
  if (handle == 0) return false;
  if (reserved)
    DeliverNotice(kMsgTriggerStatus, handle, intptr_t(data) | (intptr_t(portIndex_) << 16));
  return true;
}

bool TBaseDispatcher::CheckTimerTriggers() {
  uint16_t handle = 0;
  bool reserved = false;
  {
    std::lock_guard state(stateLock_);
    if (eventBusy_) return false;
    for (auto& t : triggers_.timers) {
      if (!t.active || !t.timer.Expired()) continue;
      handle = t.handle;
      if (wantNotices_) {
        if (!ReserveNoticeLocked()) return false;
        reserved = true;
      }
      t.active = false;
      break;
    }
  }
  if (handle == 0) return false;
  if (reserved) DeliverNotice(kMsgTriggerTimer, handle, intptr_t(portIndex_) << 16);
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
    if (eventBusy_) return false;
    // Data triggers look at the bytes that came since the last look.
    rx_->ScanFresh([&](uint8_t byte, size_t upTo) {
      for (auto& t : triggers_.datas) {
        if (t.text.empty()) continue;
        auto norm = [&](uint8_t c) { return t.ignoreCase ? std::toupper(c) : int(c); };
        int c = norm(byte);
        if (c == norm(uint8_t(t.text[t.matched])))
          ++t.matched;
        else
          t.matched = c == norm(uint8_t(t.text[0])) ? 1 : 0;
        if (t.matched == t.text.size()) {
          t.matched = 0;
          matches.emplace_back(t.handle, static_cast<uint16_t>(upTo));
        }
      }
    });
    announce = rx_->TakeAnnouncement(availLength_, waiting);
  }
  bool fired = false;
  if (announce) fired = SendNotify(kMsgTriggerAvail, waiting, intptr_t(portIndex_) << 16);
  for (auto [handle, upTo] : matches) {
    if (closeAfterNotice_) break;
    SendNotify(kMsgTriggerData, handle, intptr_t(upTo) | (intptr_t(portIndex_) << 16));
    fired = true;
  }
  return fired;
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

void TBaseDispatcher::WaitReceive(uint32_t maxMs) {
  rx_->WaitForBytes(maxMs, [this] { return stopThreads_.load(); });
}

// ================================================================ line settings

uint32_t TBaseDispatcher::TxSentDelayMs(const TDcb& dcb) {
  uint32_t baud = std::max<uint32_t>(dcb.baudRate, 1);
  uint64_t units = uint64_t(10000000 / baud) * BitsPerChar(dcb) * 18;  // 100 ns
  if (units < 10000) units *= 2;
  return static_cast<uint32_t>((units + 9999) / 10000);
}

int TBaseDispatcher::WaitTxSent() {
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  TDcb dcb;
  {
    std::lock_guard state(stateLock_);
    dcb = dcb_;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(TxSentDelayMs(dcb)));
  return 0;
}

int TBaseDispatcher::SetLine(int32_t baud, int parity, int dataBits, int stopBits) {
  TDcb dcb;
  {
    std::lock_guard state(stateLock_);
    dcb = dcb_;
    dcb.binary = true;
    dcb.parityCheck = false;
    dcb.dsrSensitivity = false;
    dcb.txContinueOnXoff = true;
    dcb.nullStrip = false;
    uint32_t newBaud = baud == 0 ? dcb_.baudRate : static_cast<uint32_t>(baud);
    int newParity = parity == 5 ? dcb_.parity : parity;
    int newBits = dataBits == 9 ? dcb_.byteSize : dataBits;
    uint8_t stopCode = dcb_.stopBits;
    if (stopBits != 3) {
      if (stopBits == 0) stopBits = 1;
      if (stopBits > 2) stopBits = 2;
      stopCode = stopBits == 1 ? kOneStopBit : kTwoStopBits;
    }
    if (newBits == 5) stopCode = kOne5StopBits;
    if (newBaud == dcb_.baudRate && newParity == dcb_.parity && newBits == dcb_.byteSize &&
        stopCode == dcb_.stopBits)
      return 0;
    dcb.baudRate = newBaud;
    dcb.parity = static_cast<uint8_t>(newParity);
    dcb.byteSize = static_cast<uint8_t>(newBits);
    dcb.stopBits = stopCode;
  }
  // Not under the lock: the drain may take a while and the threads need it.
  WaitTxSent();
  std::lock_guard state(stateLock_);
  return SetCommStateFix(dcb);
}

void TBaseDispatcher::GetLine(int32_t& baud, int& parity, int& dataBits, int& stopBits) {
  std::lock_guard state(stateLock_);
  baud = static_cast<int32_t>(dcb_.baudRate);
  parity = dcb_.parity;
  dataBits = dcb_.byteSize;
  stopBits = dcb_.stopBits == kTwoStopBits ? 2 : 1;
}

int TBaseDispatcher::SetCommStateFix(TDcb dcb) {
  std::lock_guard state(stateLock_);
  if (!dtrHandshake_) dcb.dtrControl = dtrOn_ ? kDtrControlEnable : kDtrControlDisable;
  if (!rtsHandshake_) dcb.rtsControl = rtsOn_ ? kRtsControlEnable : kRtsControlDisable;
  int r = SetComState(dcb);
  if (r == 0) {
    dcb_ = dcb;
    lastBaud_ = dcb.baudRate;
  }
  if (!dtrHandshake_) EscapeComFunction(dtrOn_ ? efSetDtr : efClrDtr);
  if (!rtsHandshake_ && !rs485_) EscapeComFunction(rtsOn_ ? efSetRts : efClrRts);
  return r;
}

int TBaseDispatcher::SetCommBuffers(uint32_t inSize, uint32_t outSize) {
  int r = SetupCom(inSize, outSize);
  if (r < 0) return r;
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::lock_guard state(stateLock_);
  inSize_ = inSize;
  std::lock_guard tx(txLock_);
  if (TxUsedLocked() != 0 || buffersFreed_) return ecBadArgument;
  tx_.assign(std::max<uint32_t>(outSize, 1), 0);
  txHead_ = txTail_ = txHanded_ = 0;
  ++txGeneration_;
  txFull_ = false;
  outSize_ = static_cast<uint32_t>(tx_.size());
  return 0;
}

int TBaseDispatcher::HWFlowOptions(uint16_t full, uint16_t resume, uint32_t flags) {
  std::lock_guard state(stateLock_);
  if (full < resume || full > inSize_) return ecBadArgument;
  TDcb dcb = dcb_;
  dcb.outxCtsFlow = dcb.outxDsrFlow = false;
  dtrHandshake_ = flags & hfUseDtr;
  rtsHandshake_ = flags & hfUseRts;
  dcb.dtrControl = dtrHandshake_ ? kDtrControlHandshake
                                 : (dtrOn_ ? kDtrControlEnable : kDtrControlDisable);
  dcb.rtsControl = rtsHandshake_ ? kRtsControlHandshake
                                 : (rtsOn_ ? kRtsControlEnable : kRtsControlDisable);
  dcb.xoffLim = static_cast<uint16_t>(inSize_ - full);
  dcb.xonLim = resume;
  dcb.outxDsrFlow = flags & hfRequireDsr;
  dcb.outxCtsFlow = flags & hfRequireCts;
  return SetCommStateFix(dcb);
}

TFlowState TBaseDispatcher::HWFlowState() {
  bool any;
  {
    std::lock_guard state(stateLock_);
    any = dcb_.outxCtsFlow || dcb_.outxDsrFlow || dtrHandshake_ || rtsHandshake_;
  }
  if (!any) return fsOff;
  TComStat stat;
  GetComError(stat);
  if (stat.ctsHold) return fsCtsHold;
  if (stat.dsrHold) return fsDsrHold;
  return fsOn;
}

int TBaseDispatcher::SWFlowEnable(uint16_t full, uint16_t resume, uint32_t flags) {
  std::lock_guard state(stateLock_);
  if (full < resume || full > inSize_) return ecBadArgument;
  TDcb dcb = dcb_;
  if (flags & sfReceive) {
    dcb.inX = true;
    dcb.xoffLim = static_cast<uint16_t>(inSize_ - full);
    dcb.xonLim = resume;
  }
  if (flags & sfTransmit) dcb.outX = true;
  dcb.xonChar = 0x11;
  dcb.xoffChar = 0x13;
  return SetCommStateFix(dcb);
}

int TBaseDispatcher::SWFlowDisable() {
  std::lock_guard state(stateLock_);
  TDcb dcb = dcb_;
  dcb.inX = dcb.outX = false;
  return SetCommStateFix(dcb);
}

TFlowState TBaseDispatcher::SWFlowState() {
  {
    std::lock_guard state(stateLock_);
    if (!dcb_.inX && !dcb_.outX) return fsOff;
  }
  TComStat stat;
  GetComError(stat);
  return stat.xoffHold ? fsXOutHold : fsOn;
}

int TBaseDispatcher::SWFlowChars(char on, char off) {
  std::lock_guard state(stateLock_);
  TDcb dcb = dcb_;
  dcb.xonChar = on;
  dcb.xoffChar = off;
  return SetCommStateFix(dcb);
}

int TBaseDispatcher::SetDtr(bool on) {
  std::lock_guard state(stateLock_);
  dtrOn_ = on;
  if (!dtrHandshake_) return EscapeComFunction(on ? efSetDtr : efClrDtr);
  return 0;
}

int TBaseDispatcher::SetRts(bool on) {
  std::lock_guard state(stateLock_);
  rtsOn_ = on;
  if (!rtsHandshake_) return EscapeComFunction(on ? efSetRts : efClrRts);
  return 0;
}

// ================================================================ status

uint32_t TBaseDispatcher::GetComError(TComStat& stat) {
  uint32_t errors = DeviceClearError(&stat);
  stat.cbOutQue = static_cast<uint32_t>(OutBuffUsed());
  std::lock_guard status(statusLock_);
  lineErrors_ |= errors & kLineErrorBits;
  comStat_ = stat;
  return errors;
}

void TBaseDispatcher::RefreshStatus() {
  TComStat stat;
  GetComError(stat);
}

void TBaseDispatcher::UpdateModemStatus() {
  uint32_t ms = DeviceModemStatus();
  uint8_t levels = ((ms & msCtsOn) ? kLevelCts : 0) | ((ms & msDsrOn) ? kLevelDsr : 0) |
                   ((ms & msRingOn) ? kLevelRi : 0) | ((ms & msRlsdOn) ? kLevelDcd : 0);
  uint8_t changed;
  {
    std::lock_guard status(statusLock_);
    changed = modemStatus_ ^ levels;
    uint8_t delta = modemStatus_ & 0x0F;
    if (changed & kLevelCts) delta |= kDeltaCts;
    if (changed & kLevelDsr) delta |= kDeltaDsr;
    if (changed & kLevelDcd) delta |= kDeltaDcd;
    if (ringSeen_.exchange(false)) delta |= kRingSeen;
    modemStatus_ = levels | delta;
  }
  if (changed & kLevelCts) OutputChanged();
}

uint8_t TBaseDispatcher::GetModemStatus() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  uint8_t value = modemStatus_;
  modemStatus_ &= 0xF0;
  return value;
}

namespace {
// Reads a level or change bit of the modem byte and clears the line's change bit.
bool TakeModemBit(uint8_t& status, uint8_t bit, uint8_t changeBit) {
  bool on = status & bit;
  status &= static_cast<uint8_t>(~changeBit);
  return on;
}
}  // namespace

bool TBaseDispatcher::CheckCTS() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelCts, kDeltaCts);
}
bool TBaseDispatcher::CheckDSR() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelDsr, kDeltaDsr);
}
bool TBaseDispatcher::CheckRI() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelRi, kRingSeen);
}
bool TBaseDispatcher::CheckDCD() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kLevelDcd, kDeltaDcd);
}
bool TBaseDispatcher::CheckDeltaCTS() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaCts, kDeltaCts);
}
bool TBaseDispatcher::CheckDeltaDSR() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaDsr, kDeltaDsr);
}
bool TBaseDispatcher::CheckDeltaRI() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kRingSeen, kRingSeen);
}
bool TBaseDispatcher::CheckDeltaDCD() {
  UpdateModemStatus();
  std::lock_guard status(statusLock_);
  return TakeModemBit(modemStatus_, kDeltaDcd, kDeltaDcd);
}

int TBaseDispatcher::GetLineError() {
  RefreshStatus();
  std::lock_guard status(statusLock_);
  static constexpr std::pair<uint32_t, int> kOrder[] = {
      {ceRxOver, 1}, {ceOverrun, 2}, {ceRxParity, 3}, {ceFrame, 4}, {ceBreak, 9}};
  int result = 0;
  for (auto [bit, code] : kOrder)
    if (lineErrors_ & bit) {
      result = code;
      break;
    }
  lineErrors_ &= ~(ceRxOver | ceOverrun | ceRxParity | ceFrame);
  return result;
}

bool TBaseDispatcher::CheckLineBreak() {
  RefreshStatus();
  std::lock_guard status(statusLock_);
  bool on = lineErrors_ & ceBreak;
  lineErrors_ &= ~ceBreak;
  return on;
}

// ================================================================ receiving

int TBaseDispatcher::TxUsedLocked() const {
  if (tx_.empty()) return 0;
  if (txFull_) return static_cast<int>(tx_.size());
  return static_cast<int>((txHead_ + tx_.size() - txTail_) % tx_.size());
}

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
  {
    std::lock_guard tx(txLock_);
    if (buffersFreed_) return ecCommNotOpen;
    size_t freeBytes = tx_.size() - TxUsedLocked();
    if (freeBytes < n) return ecOutputBufferTooSmall;
    auto* in = static_cast<const uint8_t*>(buf);
    size_t first = std::min(n, tx_.size() - txHead_);
    std::memcpy(tx_.data() + txHead_, in, first);
    std::memcpy(tx_.data(), in + first, n - first);
    txHead_ = static_cast<uint32_t>((txHead_ + n) % tx_.size());
    if (txHead_ == txTail_) txFull_ = true;
  }
  outputSent_ = true;
  RaiseFlag(txWake_);
  return static_cast<int>(n);
}

int TBaseDispatcher::OutBuffUsed() {
  std::lock_guard tx(txLock_);
  return TxUsedLocked();
}

int TBaseDispatcher::OutBuffFree() {
  std::lock_guard tx(txLock_);
  return static_cast<int>(tx_.size()) - TxUsedLocked();
}

int TBaseDispatcher::FlushOutBuffer() {
  if (outRunning_) {
    {
      std::lock_guard lock(syncMutex_);
      txFlush_ = true;
      threadAck_ = false;
    }
    DeviceCancelWaits();
    syncCv_.notify_all();
    WaitFlag(threadAck_, kFlushAckMs);
  }
  {
    std::lock_guard tx(txLock_);
    txHead_ = txTail_ = txHanded_ = 0;
    txFull_ = false;
    ++txGeneration_;
  }
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
