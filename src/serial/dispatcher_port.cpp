// The dispatcher's life: its slot in the port list, opening and closing the port, the
// one path of a deferred close, the device it owns, and the registrations it hands to
// its notice hub.
#include <algorithm>

#include "serial/dispatcher.h"

namespace zarnik {

namespace {

std::vector<TBaseDispatcher*>& PortList() {
  static std::vector<TBaseDispatcher*> list;
  return list;
}

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

// ================================================================ life

TBaseDispatcher::TBaseDispatcher(Host* host, TDeviceFactory factory)
    : host_(host), factory_(std::move(factory)) {
  {
    std::lock_guard lock(PortListMutex());
    auto& list = PortList();
    auto slot = std::find(list.begin(), list.end(), nullptr);
    if (slot == list.end()) slot = list.insert(list.end(), nullptr);
    *slot = this;
    portIndex_ = static_cast<int>(slot - list.begin());
  }
  hub_ = std::make_unique<NoticeHub>(host_, stateLock_, rx_, portIndex_, closeAfterNotice_);
}

TBaseDispatcher::~TBaseDispatcher() {
  Shutdown();
  std::lock_guard lock(PortListMutex());
  auto& list = PortList();
  if (portIndex_ >= 0 && portIndex_ < static_cast<int>(list.size())) list[portIndex_] = nullptr;
  while (!list.empty() && list.back() == nullptr) list.pop_back();
}

void TBaseDispatcher::Shutdown() {
  // A deferred close has closed the device already; its threads are ending.
  if (!closeAfterNotice_) DonePort();
  if (device_) StopWorkers();
  JoinThread(dispThread_, dispRunning_, UINT64_MAX, true);
  FreeBuffers();
}

int TBaseDispatcher::InitPort(const std::string& name, int32_t baud, int parity, int dataBits,
                              int stopBits, uint32_t inSize, uint32_t outSize, uint32_t options) {
  hub_->SetPromptWait(false);
  closeAfterNotice_ = false;
  lineLost_ = false;
  {
    std::lock_guard lock(syncMutex_);
    wakeDispatch_ = dispatchDone_ = txWake_ = txFlush_ = flushDone_ = false;
    closeFinished_ = false;
  }
  deviceName_ = name;
  int r = OpenCom(name, inSize, outSize);
  if (r != 0) return r;
  r = SetupCom(inSize, outSize);
  if (r < 0) {
    DonePort();
    return r;
  }
  std::lock_guard state(stateLock_);
  rx_->Allocate();
  tx_.Allocate(std::max<uint32_t>(outSize, 1));
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
  if (!EventBusy()) {
    StopDispatcher();
    FreeBuffers();
    return;
  }
  // A notice (or a prompt wait) is in progress further up this very stack or on the
  // dispatcher thread, which cannot be joined from here: it ends by itself, and the
  // later of its end and this call finishes the close.
  bool finishNow;
  {
    std::lock_guard lock(syncMutex_);
    closeAfterNotice_ = true;
    finishNow = dispEnded_;
  }
  SignalAll();
  if (finishNow) FinishDeferredClose();
}

void TBaseDispatcher::FinishDeferredClose() {
  {
    std::lock_guard lock(syncMutex_);
    if (closeFinished_) return;
    closeFinished_ = true;
  }
  FreeBuffers();
  CallWakeup(closedWakeup_);
}

void TBaseDispatcher::FreeBuffers() {
  rx_->Release();
  tx_.Release();
}

// ================================================================ the device

int TBaseDispatcher::OpenCom(const std::string& name, uint32_t, uint32_t) {
  if (deviceOpen_) return DeviceFailure(SerialError::Busy);
  // A device that threads may still touch stays; it fails cleanly once closed.
  if (!device_ || ThreadCount() == 0) device_ = factory_ ? factory_(name) : MakeSerialDevice(name);
  if (!device_) return DeviceFailure(SerialError::NotFound);
  int r = device_->Open(name);
  if (r == 0) deviceOpen_ = true;
  return r;
}

void TBaseDispatcher::CloseCom() {
  // The waiting threads must be out of the device before its descriptor goes.
  if (ThreadsActive()) StopWorkers();
  if (device_) device_->Close();
  deviceOpen_ = false;
}

int TBaseDispatcher::EscapeComFunction(int func) {
  if (device_) device_->EscapeFunction(func);
  return 0;
}

int TBaseDispatcher::FlushCom(uint32_t purgeFlags) {
  return device_ ? device_->Purge(purgeFlags) : DeviceFailure(SerialError::NotOpen);
}

int TBaseDispatcher::GetComState(TDcb& dcb) {
  return device_ ? device_->GetState(dcb) : DeviceFailure(SerialError::NotOpen);
}

int TBaseDispatcher::ReadCom(void* buf, size_t n) {
  if (!device_) return 0;
  int r = device_->Read(buf, n);
  return r < 0 ? 0 : r;  // a failed read counts as no data
}

int TBaseDispatcher::SetComState(const TDcb& dcb) {
  return device_ ? device_->SetState(dcb) : DeviceFailure(SerialError::NotOpen);
}

int TBaseDispatcher::WaitComEvent(uint32_t mask, uint32_t timeoutMs) {
  return device_ ? device_->WaitEvent(mask, timeoutMs) : DeviceFailure(SerialError::NotOpen);
}

int TBaseDispatcher::SetupCom(uint32_t inSize, uint32_t outSize) {
  return device_ ? device_->Setup(inSize, outSize) : DeviceFailure(SerialError::NotOpen);
}

// ================================================================ consumers

void TBaseDispatcher::RegisterWndTriggerHandler(MessageTarget* window) { hub_->AddWindow(window); }
void TBaseDispatcher::DeregisterWndTriggerHandler(MessageTarget* window) {
  hub_->RemoveWindow(window);
}
void TBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) { hub_->AddProc(proc); }
void TBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) { hub_->RemoveProc(proc); }
void TBaseDispatcher::RegisterEventTriggerHandler(const void* object, TTriggerHandler handler) {
  hub_->AddEvent(object, std::move(handler), false);
}
void TBaseDispatcher::DeregisterEventTriggerHandler(const void* object) {
  hub_->RemoveEvent(object, false);
}
void TBaseDispatcher::RegisterSyncEventTriggerHandler(const void* object,
                                                      TTriggerHandler handler) {
  hub_->AddEvent(object, std::move(handler), true);
}
void TBaseDispatcher::DeregisterSyncEventTriggerHandler(const void* object) {
  hub_->RemoveEvent(object, true);
}

void TBaseDispatcher::UpdateHandlerFlags(THandlerFlagUpdate update) {
  if (update == fuEnablePort) hub_->SetOwnWindowWants(true);
  if (update == fuDisablePort) hub_->SetOwnWindowWants(false);
}

void TBaseDispatcher::SetWakeup(std::function<void()>& slot, std::function<void()> wake) {
  std::lock_guard state(stateLock_);
  slot = std::move(wake);
}

// Called outside the StateLock it is kept under: a wake-up may take other locks.
void TBaseDispatcher::CallWakeup(const std::function<void()>& slot) {
  std::function<void()> wake;
  {
    std::lock_guard state(stateLock_);
    wake = slot;
  }
  if (wake) wake();
}

}  // namespace zarnik
