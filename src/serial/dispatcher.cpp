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

struct SyncCallData {
  const TTriggerHandler* handler;
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

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

// Runs synchronised event handlers on the window thread.
class TBaseDispatcher::SyncTarget : public MessageTarget {
 public:
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg != kMsgSyncCall) return 0;
    auto* call = reinterpret_cast<const SyncCallData*>(wParam);
    (*call->handler)(call->msg, call->wParam, call->lParam);
    return 0;
  }
};

// ================================================================ life

TBaseDispatcher::TBaseDispatcher(Host* host) : host_(host), syncTarget_(new SyncTarget) {
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
  rxCv_.notify_all();
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
  {
    std::lock_guard rx(rxLock_);
    std::lock_guard tx(txLock_);
    rx_.assign(kRxBufferSize, 0);
    rxHead_ = rxTail_ = scanPos_ = lastNoticePos_ = 0;
    rxFull_ = inNotice_ = false;
    arrivedSinceNotice_ = noticeReadCount_ = noticeMaxRead_ = 0;
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
  std::lock_guard rx(rxLock_);
  std::lock_guard tx(txLock_);
  buffersFreed_ = true;
  rxHead_ = rxTail_ = 0;
  rxFull_ = false;
  inNotice_ = false;
  txHead_ = txTail_ = txHanded_ = 0;
  ++txGeneration_;
  txFull_ = false;
  rxCv_.notify_all();
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

void TBaseDispatcher::AdvanceTxTailLocked(size_t n) {
  size_t used = TxUsedLocked();
  n = std::min(n, used);
  if (n == 0) return;
  txTail_ = static_cast<uint32_t>((txTail_ + n) % tx_.size());
  txFull_ = false;
  if (n == used) txHead_ = txTail_ = 0;
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
    if (len > 0) {
      int written = DeviceWrite(piece, len);
      std::lock_guard tx(txLock_);
      if (generation != txGeneration_) {
        continue;  // flushed meanwhile: these bytes belong to nobody in the ring now
      } else if (written < 0) {
        AdvanceTxTailLocked(txHanded_ + len);  // a failed write drops the block
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
        AdvanceTxTailLocked(txHanded_ - queued);
        txHanded_ = queued;
        progress = true;
      }
      allHanded = txHanded_ >= static_cast<uint32_t>(TxUsedLocked());
    }
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
  size_t total = 0;
  {
    std::lock_guard rx(rxLock_);
    if (buffersFreed_ || rxFull_) return;
    TComStat stat;
    GetComError(stat);
    if (stat.cbInQue == 0) return;
    uint32_t space = rxTail_ > rxHead_ ? rxTail_ - rxHead_ : kRxBufferSize - rxHead_;
    int got = std::max(ReadCom(rx_.data() + rxHead_, space), 0);
    total = got;
    rxHead_ = (rxHead_ + got) % kRxBufferSize;
    if (static_cast<uint32_t>(got) == space && stat.cbInQue > space && rxHead_ == 0) {
      uint32_t want = std::min(stat.cbInQue - space, rxTail_);
      if (want > 0) {
        int more = std::max(ReadCom(rx_.data(), want), 0);
        rxHead_ += more;
        total += more;
      }
    }
    if (total > 0 && rxHead_ == rxTail_) rxFull_ = true;
    arrivedSinceNotice_ += total;
  }
  if (total == 0) return;
  rxCv_.notify_all();
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

bool TBaseDispatcher::CheckStatusTriggers() {
  uint16_t handle = 0, data = 0;
  {
    std::lock_guard state(stateLock_);
    for (auto& t : triggers_.statuses) {
      if (!t.armed || t.fired || !StatusConditionLocked(t, data)) continue;
      t.armed = false;
      t.fired = true;
      handle = t.handle;
      break;
    }
  }
  if (handle == 0) return false;
  SendNotify(kMsgTriggerStatus, handle, intptr_t(data) | (intptr_t(portIndex_) << 16));
  return true;
}

bool TBaseDispatcher::CheckTimerTriggers() {
  uint16_t handle = 0;
  {
    std::lock_guard state(stateLock_);
    for (auto& t : triggers_.timers) {
      if (!t.active || !t.timer.Expired()) continue;
      t.active = false;
      handle = t.handle;
      break;
    }
  }
  if (handle == 0) return false;
  SendNotify(kMsgTriggerTimer, handle, intptr_t(portIndex_) << 16);
  return true;
}

bool TBaseDispatcher::CheckReceiveTriggers() {
  std::vector<std::pair<uint16_t, uint16_t>> matches;  // data triggers: handle, bytes to match end
  size_t waiting;
  bool announce;
  {
    std::lock_guard state(stateLock_);
    std::lock_guard rx(rxLock_);
    waiting = RxUsedLocked();
    // Data triggers look at the bytes that came since the last look.
    size_t fresh = (rxHead_ + kRxBufferSize - scanPos_) % kRxBufferSize;
    if (rxFull_ && fresh == 0 && arrivedSinceNotice_ > 0) fresh = std::min(waiting, arrivedSinceNotice_);
    for (auto& t : triggers_.datas) {
      if (t.text.empty()) continue;
      for (size_t i = 0; i < fresh; ++i) {
        size_t pos = (scanPos_ + i) % kRxBufferSize;
        auto norm = [&](uint8_t c) { return t.ignoreCase ? std::toupper(c) : int(c); };
        int c = norm(rx_[pos]);
        if (c == norm(uint8_t(t.text[t.matched])))
          ++t.matched;
        else
          t.matched = c == norm(uint8_t(t.text[0])) ? 1 : 0;
        if (t.matched == t.text.size()) {
          t.matched = 0;
          size_t upTo = (pos + 1 + kRxBufferSize - rxTail_) % kRxBufferSize;
          matches.emplace_back(t.handle, static_cast<uint16_t>(upTo == 0 ? kRxBufferSize : upTo));
        }
      }
    }
    scanPos_ = rxHead_;
    uint16_t length = availLength_;
    announce = length != 0 && arrivedSinceNotice_ > 0 && waiting >= length;
    if (announce) {
      lastNoticePos_ = rxHead_;
      arrivedSinceNotice_ = 0;
    }
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

void TBaseDispatcher::SyncCall(const TTriggerHandler& handler, uint32_t msg, uintptr_t wParam,
                               intptr_t lParam) {
  if (!host_) return;
  SyncCallData call{&handler, msg, wParam, lParam};
  // Like a thread synchronising with the window thread: no time limit of its own.
  host_->Send(syncTarget_.get(), kMsgSyncCall, reinterpret_cast<uintptr_t>(&call), 0,
              UINT32_MAX / 2, nullptr, [this](bool handling) { SetNoticeReader(handling); });
}

// Delivers one notice to every consumer in turn; true when it counts as consumed.
bool TBaseDispatcher::SendNotify(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  size_t windowsServed = 0;
  {
    std::lock_guard state(stateLock_);
    if (!wantNotices_) return true;
    // A prompt wait took the flag first: its bytes are for nobody else.
    if (eventBusy_ || noticeBusy_) return false;
    noticeBusy_ = true;
    delivering_ = true;
    size_t windows = std::count_if(wndHandlers_.begin(), wndHandlers_.end(),
                                   [](const WndEntry& e) { return !e.deleted; });
    windowsServed = (windows > 1 || ownWindowWants_) ? wndHandlers_.size() : 0;
  }
  {
    std::lock_guard rx(rxLock_);
    noticeMaxRead_ = 0;
    noticeReadCount_ = 0;
    inNotice_ = msg == kMsgTriggerAvail || msg == kMsgTriggerData;
    rxTailAtNotice_ = rxTail_;
  }
  auto before = [&] {
    std::lock_guard rx(rxLock_);
    noticeReadCount_ = 0;
  };
  auto after = [&] {
    std::lock_guard rx(rxLock_);
    noticeMaxRead_ = std::max(noticeMaxRead_, noticeReadCount_);
    return closeAfterNotice_.load();
  };
  // Consumers on this thread read the notice while they run.
  auto here = [&](auto&& call) {
    SetNoticeReader(true);
    try {
      call();
    } catch (...) {
      SetNoticeReader(false);
      throw;
    }
    SetNoticeReader(false);
  };
  const Host::AroundHandling onWindowThread = [this](bool handling) { SetNoticeReader(handling); };
  bool aborted = false;
  for (size_t i = 0; !aborted; ++i) {
    EventEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= eventHandlers_.size()) break;
      e = eventHandlers_[i];
    }
    if (e.deleted) continue;
    before();
    try {
      if (e.sync)
        SyncCall(e.handler, msg, wParam, lParam);
      else
        here([&] { e.handler(msg, wParam, lParam); });
    } catch (const std::exception& ex) {
      std::cerr << "serial notice handler: " << ex.what() << std::endl;
    }
    aborted = after();
  }
  for (size_t i = 0; !aborted; ++i) {
    ProcEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= procHandlers_.size()) break;
      e = procHandlers_[i];
    }
    if (e.deleted) continue;
    before();
    here([&] { e.proc(msg, wParam, lParam); });
    aborted = after();
  }
  for (size_t i = 0; !aborted && i < windowsServed; ++i) {
    WndEntry e;
    {
      std::lock_guard state(stateLock_);
      if (i >= wndHandlers_.size()) break;
      e = wndHandlers_[i];
    }
    if (e.deleted || !host_) continue;
    before();
    host_->Send(e.window, msg, wParam, lParam, kNoticeTimeoutMs, nullptr, onWindowThread);
    aborted = after();
  }
  bool consumed = true;
  {
    std::lock_guard rx(rxLock_);
    if (aborted) {
      consumed = false;
    } else if (inNotice_ && !buffersFreed_) {
      // What the window thread took from the tail outside the consumers (a flush
      // before the next command, say) already counts towards what the notice drops.
      size_t takenOutside = (rxTail_ + kRxBufferSize - rxTailAtNotice_) % kRxBufferSize;
      size_t drop = noticeMaxRead_ > takenOutside ? noticeMaxRead_ - takenOutside : 0;
      drop = std::min<size_t>(drop, RxUsedLocked());
      rxTail_ = static_cast<uint32_t>((rxTail_ + drop) % kRxBufferSize);
      if (drop > 0) rxFull_ = false;
      if (msg == kMsgTriggerAvail && noticeMaxRead_ != wParam) consumed = false;
    }
    inNotice_ = false;
    noticeReadCount_ = 0;
  }
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
template <typename List, typename Match>
void MarkOrErase(List& list, bool delivering, bool& pending, Match match) {
  for (auto& e : list)
    if (match(e)) {
      e.deleted = true;
      pending = true;
    }
  if (!delivering) {
    std::erase_if(list, [](const auto& e) { return e.deleted; });
    pending = false;
  }
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
  procHandlers_.push_back({proc, false});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
  std::lock_guard state(stateLock_);
  MarkOrErase(procHandlers_, delivering_, deletionsPending_,
              [&](const ProcEntry& e) { return e.proc == proc; });
  RecomputeWantLocked();
}

void TBaseDispatcher::RegisterEventTriggerHandler(const void* object, TTriggerHandler handler) {
  std::lock_guard state(stateLock_);
  eventHandlers_.push_back({object, std::move(handler), false, false});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterEventTriggerHandler(const void* object) {
  std::lock_guard state(stateLock_);
  MarkOrErase(eventHandlers_, delivering_, deletionsPending_,
              [&](const EventEntry& e) { return e.object == object && !e.sync; });
  RecomputeWantLocked();
}

void TBaseDispatcher::RegisterSyncEventTriggerHandler(const void* object, TTriggerHandler handler) {
  std::lock_guard state(stateLock_);
  eventHandlers_.push_back({object, std::move(handler), false, true});
  RecomputeWantLocked();
}

void TBaseDispatcher::DeregisterSyncEventTriggerHandler(const void* object) {
  std::lock_guard state(stateLock_);
  MarkOrErase(eventHandlers_, delivering_, deletionsPending_,
              [&](const EventEntry& e) { return e.object == object && e.sync; });
  RecomputeWantLocked();
}

bool TBaseDispatcher::SetEventBusy(bool busy) {
  std::lock_guard state(stateLock_);
  return eventBusy_.exchange(busy);
}

void TBaseDispatcher::SetReceiveWakeup(std::function<void()> wake) {
  std::lock_guard state(stateLock_);
  receiveWakeup_ = std::move(wake);
}

void TBaseDispatcher::WaitReceive(uint32_t maxMs) {
  std::unique_lock rx(rxLock_);
  rxCv_.wait_for(rx, std::chrono::milliseconds(maxMs), [&] {
    size_t start = NoticeReadLocked() ? noticeReadCount_ : 0;
    return buffersFreed_ || static_cast<size_t>(RxUsedLocked()) > start || stopThreads_;
  });
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
  std::lock_guard status(statusLock_);
  uint8_t changed = modemStatus_ ^ levels;
  uint8_t delta = modemStatus_ & 0x0F;
  if (changed & kLevelCts) delta |= kDeltaCts;
  if (changed & kLevelDsr) delta |= kDeltaDsr;
  if (changed & kLevelDcd) delta |= kDeltaDcd;
  if (ringSeen_.exchange(false)) delta |= kRingSeen;
  modemStatus_ = levels | delta;
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

int TBaseDispatcher::RxUsedLocked() const {
  if (rxFull_) return kRxBufferSize;
  return static_cast<int>((rxHead_ + kRxBufferSize - rxTail_) % kRxBufferSize);
}

int TBaseDispatcher::TxUsedLocked() const {
  if (tx_.empty()) return 0;
  if (txFull_) return static_cast<int>(tx_.size());
  return static_cast<int>((txHead_ + tx_.size() - txTail_) % tx_.size());
}

int TBaseDispatcher::ChangeLengthTrigger(uint16_t length) {
  availLength_ = length;
  return 0;
}

// During a notice a read starts at the oldest waiting byte plus what the current
// consumer has read, and moves only that count; otherwise it takes from the tail.
int TBaseDispatcher::ReadRx(void* buf, size_t len, bool consume, size_t skip) {
  std::lock_guard rx(rxLock_);
  if (buffersFreed_) return ecCommNotOpen;
  size_t used = RxUsedLocked();
  const bool noticeRead = NoticeReadLocked();
  size_t start = noticeRead ? noticeReadCount_ : 0;
  size_t avail = used > start ? used - start : 0;
  if (skip + len > avail) return ecBufferIsEmpty;
  auto* out = static_cast<uint8_t*>(buf);
  size_t from = (rxTail_ + start + skip) % kRxBufferSize;
  size_t first = std::min(len, kRxBufferSize - from);
  std::memcpy(out, rx_.data() + from, first);
  std::memcpy(out + first, rx_.data(), len - first);
  if (consume) {
    if (noticeRead) {
      noticeReadCount_ += len;
    } else if (len > 0) {
      rxTail_ = static_cast<uint32_t>((rxTail_ + len) % kRxBufferSize);
      rxFull_ = false;
    }
  }
  return static_cast<int>(len);
}

bool TBaseDispatcher::NoticeReadLocked() const {
  return inNotice_ && noticeReader_ == std::this_thread::get_id();
}

void TBaseDispatcher::SetNoticeReader(bool reading) {
  std::lock_guard rx(rxLock_);
  if (reading)
    noticeReader_ = std::this_thread::get_id();
  else if (noticeReader_ == std::this_thread::get_id())
    noticeReader_ = std::thread::id();
}

bool TBaseDispatcher::CharReady() {
  std::lock_guard rx(rxLock_);
  if (buffersFreed_) return false;
  size_t start = NoticeReadLocked() ? noticeReadCount_ : 0;
  return static_cast<size_t>(RxUsedLocked()) > start;
}

int TBaseDispatcher::GetChar() {
  uint8_t c;
  int r = ReadRx(&c, 1, true);
  return r < 0 ? r : c;
}

int TBaseDispatcher::PeekChar(uint16_t n) {
  uint8_t c;
  int r = ReadRx(&c, 1, false, n);
  return r < 0 ? r : c;
}

int TBaseDispatcher::GetBlock(void* buf, size_t len) { return ReadRx(buf, len, true); }
int TBaseDispatcher::PeekBlock(void* buf, size_t len) { return ReadRx(buf, len, false); }

int TBaseDispatcher::InBuffUsed() {
  std::lock_guard rx(rxLock_);
  return buffersFreed_ ? 0 : RxUsedLocked();
}

int TBaseDispatcher::InBuffFree() { return static_cast<int>(kRxBufferSize) - InBuffUsed(); }

int TBaseDispatcher::FlushInBuffer() {
  {
    std::lock_guard state(stateLock_);
    for (auto& t : triggers_.datas) t.matched = 0;
  }
  {
    std::lock_guard rx(rxLock_);
    if (NoticeReadLocked()) {
      noticeMaxRead_ = RxUsedLocked();  // the notice drops it all when it ends
    } else {
      rxTail_ = rxHead_;
      rxFull_ = false;
    }
    scanPos_ = rxHead_;
  }
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
