#include "serial/com_port.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "serial/dispatcher.h"

namespace zarnik {

namespace {
// How long one step of a prompt wait sleeps at most when nothing arrives.
constexpr uint32_t kWaitSliceMs = 20;

uint16_t Scaled(uint16_t value, double factor) { return static_cast<uint16_t>(value * factor); }

uint32_t HWFlowFlags(THWFlowOptionSet set) {
  return (set.Contains(hwfUseDTR) ? hfUseDtr : 0) | (set.Contains(hwfUseRTS) ? hfUseRts : 0) |
         (set.Contains(hwfRequireDSR) ? hfRequireDsr : 0) |
         (set.Contains(hwfRequireCTS) ? hfRequireCts : 0);
}

uint32_t SWFlowFlags(TSWFlowOptions options) {
  static constexpr uint32_t kFlags[] = {0, sfReceive, sfTransmit, sfReceive | sfTransmit};
  return kFlags[options];
}
}  // namespace

TCustomComPort::TCustomComPort(Host& host, TComponent* owner)
    : TComponent(owner), host_(host), notifyTarget_(host) {
  auto hook = [this] { UpdateHandlerFlags(); };
  OnTriggerAvail.SetChangeHook(hook);
  OnTrigger.SetChangeHook(hook);
  OnTriggerData.SetChangeHook(hook);
  OnTriggerStatus.SetChangeHook(hook);
  OnTriggerTimer.SetChangeHook(hook);
  OnTriggerLineError.SetChangeHook(hook);
  OnTriggerModemStatus.SetChangeHook(hook);
  OnTriggerOutbuffFree.SetChangeHook(hook);
  OnTriggerOutbuffUsed.SetChangeHook(hook);
  OnTriggerOutSent.SetChangeHook(hook);
}

TCustomComPort::~TCustomComPort() {
  BeginDestroying();
  try {
    DonePort();
  } catch (...) {
  }
  // A close that had to wait for a notice completes now: the dispatcher's
  // destruction waits for its threads.
  if (dispatcher_) CompleteClose();
  host_.RemoveTarget(&notifyTarget_);
}

int TCustomComPort::Check(int result) {
  if (result == deNotConnected && dispatcher_ && !Loading()) ThrowLineLost(*dispatcher_);
  if (result < 0 && !Loading()) CheckException(result);
  return result;
}

void TCustomComPort::ThrowLineLost(const TBaseDispatcher& dispatcher) const {
  throw EPortDisconnected(dispatcher.DeviceName());
}

bool TCustomComPort::LineLost() const {
  return portState_ == psOpen && dispatcher_ && dispatcher_->LineLost();
}

void TCustomComPort::CheckLine() {
  if (LineLost()) ThrowLineLost(*dispatcher_);
}

bool TCustomComPort::LineUsable() {
  if (!Usable()) return false;
  CheckLine();
  return true;
}

bool TCustomComPort::Usable() {
  if (portState_ == psOpen) return true;
  if (portState_ == psShuttingDown) return false;
  if (autoOpen_) {
    SetOpen(true);
    if (portState_ == psOpen) return true;
  }
  throw ECommNotOpen();
}

// ================================================================ open and close

void TCustomComPort::SetOpen(bool open) {
  if (Loading() || Designing()) {
    streamedOpen_ = open;
    return;
  }
  if (!open) {
    DonePort();
    return;
  }
  if (portState_ == psShuttingDown) {
    openRequested_ = true;
    return;
  }
  if (portState_ == psOpen) return;
  InitPort();
}

void TCustomComPort::Loaded() {
  TComponent::Loaded();
  if (!streamedOpen_) return;
  try {
    SetOpen(true);
  } catch (const std::exception& e) {
    host_.ShowMessage(e.what());
  }
}

void TCustomComPort::ChoosePort() {
  if (!promptForPort_) throw ENoPortSelected();
  std::vector<std::string> entries = ComSelectEntries();
  std::string chosen = entries.empty() ? std::string() : entries.front();
  if (!OnSelectPort || !OnSelectPort(entries, chosen) || chosen.size() <= 3)
    throw ENoPortSelected();
  SetComNumber(static_cast<uint16_t>(std::atoi(chosen.c_str() + 3)));
}

void TCustomComPort::InitPort() {
  if (tapiMode_ != tmOn && devicePath_.empty() && comNumber_ == 0) ChoosePort();
  auto dispatcher = std::make_shared<TBaseDispatcher>(&host_, deviceFactory_);
  dispatcher->SetOwner(this);
  dispatcher->SetComName(ComName(comNumber_));
  std::string path = devicePath_.empty() ? ComDevicePath(comNumber_) : devicePath_;
  uint32_t options = (dtr_ ? ipDtr : 0) | (rts_ ? ipRts : 0) |
                     (hwFlow_.Contains(hwfUseDTR) ? ipDtrHandshake : 0) |
                     (hwFlow_.Contains(hwfUseRTS) ? ipRtsHandshake : 0);
  int r = dispatcher->InitPort(path, baud_, parity_, dataBits_, stopBits_, inSize_, outSize_,
                               options);
  if (r != 0) {
    open_ = false;
    portState_ = psClosed;
    dispatcher.reset();
    CheckException(r);
    return;
  }
  dispatcher_ = dispatcher;
  portState_ = psOpen;
  UpdateHandlerFlags();
  try {
    PushSettings();
  } catch (...) {
    // A port whose settings cannot be applied is not left half open.
    portState_ = psShuttingDown;
    dispatcher_->DonePort();
    dispatcher_.reset();
    portState_ = psClosed;
    force_ = false;
    throw;
  }
  open_ = true;
  host_.AddTarget(&notifyTarget_);
  dispatcher_->RegisterWndTriggerHandler(&notifyTarget_);
  dispatcher_->SetReceiveWakeup([this] {
    if (waitDispatcher_.load()) host_.Post(&notifyTarget_, kMsgReceiveWake);
  });
  dispatcher_->SetOutputWakeup([this] {
    if (outputWatch_) host_.Post(&notifyTarget_, kMsgOutputWake);
  });
  dispatcher_->SetLineLostWakeup([this, index = dispatcher_->PortIndex()] {
    host_.Post(&notifyTarget_, kMsgLineLost, 0, intptr_t(index) << 16);
  });
  dispatcher_->SetClosedWakeup([this, index = dispatcher_->PortIndex()] {
    host_.Post(&notifyTarget_, kMsgPortClosing, 0, intptr_t(index) << 16);
  });
  if (triggersSaved_) {
    dispatcher_->RestoreTriggers(savedTriggers_);
    triggersSaved_ = false;
  }
  NotifyUsers(ctOpen);
  if (OnPortOpen) OnPortOpen(*this);
}

// Every setting goes into the fresh dispatcher, in this order, even where it equals
// what is stored.
void TCustomComPort::PushSettings() {
  force_ = true;
  SetTracing(tracing_);
  SetLogging(logging_);
  SetHWFlowOptions(hwFlow_);
  SetSWFlowOptions(swFlow_);
  SetXOnChar(xonChar_);
  SetXOffChar(xoffChar_);
  SetTriggerLength(triggerLength_);
  SetDTR(dtr_);
  SetRTS(rts_);
  SetUseEventWord(useEventWord_);
  SetRS485Mode(rs485Mode_);
  SetThreadBoost(threadBoost_);
  force_ = false;
}

void TCustomComPort::DonePort() {
  if (portState_ != psOpen) return;
  portState_ = psShuttingDown;
  NotifyUsers(ctClosing);
  dispatcher_->SaveTriggers(savedTriggers_);
  triggersSaved_ = true;
  dispatcher_->DonePort();
  if (dispatcher_->CloseAfterNotice()) {
    // Started from inside a notice or a prompt wait: the dispatcher posts the
    // deferred close (kMsgPortClosing) once that is over, perhaps already.
    if (!Destroying()) host_.ProcessMessages();
  } else {
    CompleteClose();
  }
  NotifyUsers(ctClosed);
  if (OnPortClose && !Destroying()) OnPortClose(*this);
}

void TCustomComPort::CompleteClose() {
  if (dispatcher_) dispatcher_->DeregisterWndTriggerHandler(&notifyTarget_);
  host_.RemoveTarget(&notifyTarget_);
  dispatcher_.reset();
  portState_ = psClosed;
  open_ = false;
  if (openRequested_ && !Destroying()) {
    openRequested_ = false;
    SetOpen(true);
  }
}

void TCustomComPort::HandleCloseCompletion(const TBaseDispatcher* closed) {
  if (dispatcher_.get() == closed) CompleteClose();
}

void TCustomComPort::NotifyUsers(TCallbackType type) {
  static constexpr uint32_t kMessages[] = {kMsgPortOpen, kMsgPortClosing, kMsgPortClose};
  // A consumer may deregister while it is told: walk a copy.
  std::vector<UserEntry> users = users_;
  for (auto it = users.rbegin(); it != users.rend(); ++it) {
    if (type == ctClosing && !it->extended) continue;
    if (it->window)
      host_.Send(it->window, kMessages[type], 0, 0, kNoticeTimeoutMs);
    else if (it->extended && it->callbackEx)
      it->callbackEx(*this, type);
    else if (!it->extended && it->callback)
      it->callback(*this, type == ctOpen);
  }
}

// ================================================================ notices

intptr_t TCustomComPort::NotifyTarget::HandleMessage(uint32_t msg, uintptr_t wParam,
                                                     intptr_t lParam) {
  bool trigger = msg >= kMsgTriggerAvail && msg <= kMsgTriggerStatus;
  if (!trigger && msg != kMsgPortClosing && msg != kMsgLineLost) return 0;
  std::lock_guard lock(PortListMutex());
  TBaseDispatcher* dispatcher = PortListAt(static_cast<int>(lParam >> 16));
  TCustomComPort* port = dispatcher ? dispatcher->Owner() : nullptr;
  if (!port) return 0;
  // A data notice sent before a prompt wait began reaches nobody while it runs: its
  // bytes stay for the wait (and, unread, come again with the next bytes). Status and
  // timer notices carry no bytes and are delivered: their triggers fired once.
  bool dataNotice = msg == kMsgTriggerAvail || msg == kMsgTriggerData;
  if (dataNotice && port->waitDispatcher_.load() == dispatcher) return 0;
  try {
    if (msg == kMsgPortClosing)
      port->HandleCloseCompletion(dispatcher);
    else if (msg == kMsgLineLost) {
      // Only the loss of the line the port is on now.
      if (port->dispatcher_.get() == dispatcher && port->LineLost() && port->OnLineLost)
        port->OnLineLost(*port);
    } else
      port->RaiseTriggerEvents(msg, wParam, lParam);
  } catch (const std::exception& e) {
    if (host_.IsWindowThread()) host_.ShowMessage(e.what());
  }
  return 0;
}

void TCustomComPort::RaiseTriggerEvents(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto handle = static_cast<uint16_t>(wParam);
  auto data = static_cast<uint16_t>(msg == kMsgTriggerAvail ? wParam : lParam & 0xFFFF);
  // Handlers are called through copies: a handler may replace itself.
  if (TTriggerEvent h = OnTrigger.Handler()) h(*this, msg, handle, data);
  switch (msg) {
    case kMsgTriggerAvail: {
      // The count was taken when the notice was sent; a flush on the window thread
      // before it got here may have dropped some of those bytes. Tell the handler
      // what it can read, so a GetBlock of Count never fails.
      uint16_t waiting = static_cast<uint16_t>(std::min<int>(handle, InBuffUsed()));
      if (waiting == 0) return;
      if (TTriggerAvailEvent h = OnTriggerAvail.Handler()) h(*this, waiting);
      return;
    }
    case kMsgTriggerData:
      if (TTriggerHandleEvent h = OnTriggerData.Handler()) h(*this, handle);
      return;
    case kMsgTriggerTimer:
      if (TTriggerHandleEvent h = OnTriggerTimer.Handler()) h(*this, handle);
      return;
    default:
      break;
  }
  if (TTriggerHandleEvent h = OnTriggerStatus.Handler()) h(*this, handle);
  using Raise = void (*)(TCustomComPort&);
  static constexpr Raise kByKind[] = {
      nullptr,
      [](TCustomComPort& p) { if (TTriggerPortEvent h = p.OnTriggerModemStatus.Handler()) h(p); },
      [](TCustomComPort& p) {
        if (TTriggerLineErrorEvent h = p.OnTriggerLineError.Handler()) h(p, p.GetLineError(), p.GetLineBreak());
      },
      [](TCustomComPort& p) { if (TTriggerPortEvent h = p.OnTriggerOutbuffFree.Handler()) h(p); },
      [](TCustomComPort& p) { if (TTriggerPortEvent h = p.OnTriggerOutbuffUsed.Handler()) h(p); },
      [](TCustomComPort& p) { if (TTriggerPortEvent h = p.OnTriggerOutSent.Handler()) h(p); },
  };
  unsigned kind = handle & 7;
  if (kind >= 1 && kind <= 5) kByKind[kind](*this);
}

void TCustomComPort::UpdateHandlerFlags() {
  if (portState_ != psOpen || !dispatcher_) return;
  bool wanted = OnTrigger || OnTriggerAvail || OnTriggerData || OnTriggerStatus ||
                OnTriggerTimer || OnTriggerLineError || OnTriggerModemStatus ||
                OnTriggerOutbuffFree || OnTriggerOutbuffUsed || OnTriggerOutSent;
  dispatcher_->UpdateHandlerFlags(wanted ? fuEnablePort : fuDisablePort);
}

// ================================================================ settings

void TCustomComPort::SetComNumber(uint16_t n) {
  if (Unchanged(n == comNumber_)) return;
  if (portState_ != psOpen) {
    comNumber_ = n;
    return;
  }
  // The close saves the triggers and the next open puts them back.
  TTraceLogState tracing = tracing_, logging = logging_;
  DonePort();
  comNumber_ = n;
  tracing_ = tracing;
  logging_ = logging;
  SetOpen(true);
}

void TCustomComPort::ApplyLine() {
  if (IsOpenState()) Check(dispatcher_->SetLine(baud_, parity_, dataBits_, stopBits_));
}

void TCustomComPort::SetBaud(int32_t baud) {
  if (Unchanged(baud == baud_)) return;
  baud_ = baud;
  ApplyLine();
}

void TCustomComPort::SetParity(TParity parity) {
  if (Unchanged(parity == parity_)) return;
  parity_ = parity;
  ApplyLine();
}

void TCustomComPort::SetDataBits(uint16_t bits) {
  if (Unchanged(bits == dataBits_)) return;
  dataBits_ = bits;
  ApplyLine();
}

void TCustomComPort::SetStopBits(uint16_t bits) {
  if (Unchanged(bits == stopBits_)) return;
  stopBits_ = bits;
  ApplyLine();
}

void TCustomComPort::SetInSize(uint16_t size) {
  if (Unchanged(size == inSize_)) return;
  inSize_ = size;
  if (IsOpenState()) Check(dispatcher_->SetCommBuffers(inSize_, outSize_));
}

void TCustomComPort::SetOutSize(uint16_t size) {
  if (Unchanged(size == outSize_)) return;
  outSize_ = size;
  if (IsOpenState()) Check(dispatcher_->SetCommBuffers(inSize_, outSize_));
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptionSet options) {
  if (Unchanged(options == hwFlow_)) return;
  if (!options.Empty()) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Scaled(inSize_, 0.9);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Scaled(inSize_, 0.1);
  }
  if (IsOpenState())
    Check(dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, HWFlowFlags(options)));
  hwFlow_ = options;
  if (options.Contains(hwfUseRTS) || options.Contains(hwfRequireCTS)) rs485Mode_ = false;
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
  if (Unchanged(options == swFlow_)) return;
  if (options != swfNone) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Scaled(inSize_, 0.75);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Scaled(inSize_, 0.25);
  }
  if (IsOpenState()) {
    if (options == swfNone)
      Check(dispatcher_->SWFlowDisable());
    else
      Check(dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, SWFlowFlags(options)));
  }
  swFlow_ = options;
}

void TCustomComPort::SetXOnChar(char c) {
  if (Unchanged(c == xonChar_)) return;
  xonChar_ = c;
  if (IsOpenState()) Check(dispatcher_->SWFlowChars(xonChar_, xoffChar_));
}

void TCustomComPort::SetXOffChar(char c) {
  if (Unchanged(c == xoffChar_)) return;
  xoffChar_ = c;
  if (IsOpenState()) Check(dispatcher_->SWFlowChars(xonChar_, xoffChar_));
}

void TCustomComPort::ReapplyFlow() {
  bool force = force_;
  force_ = true;
  try {
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
  } catch (...) {
    force_ = force;
    throw;
  }
  force_ = force;
}

void TCustomComPort::SetBufferFull(uint16_t value) {
  if (Unchanged(value == bufferFull_)) return;
  bufferFull_ = value > inSize_ ? Scaled(value, 0.9) : value;
  ReapplyFlow();
}

void TCustomComPort::SetBufferResume(uint16_t value) {
  if (Unchanged(value == bufferResume_)) return;
  bufferResume_ = value > bufferFull_ ? Scaled(bufferFull_, 0.1) : value;
  ReapplyFlow();
}

void TCustomComPort::SetTraceSize(uint32_t size) { traceSize_ = std::min<uint32_t>(size, 4000000); }
void TCustomComPort::SetLogSize(uint32_t size) { logSize_ = std::min<uint32_t>(size, 16000000); }

void TCustomComPort::SetDTR(bool on) {
  if (Unchanged(on == dtr_)) return;
  if (!IsOpenState()) {
    dtr_ = on;
    return;
  }
  if (Check(dispatcher_->SetDtr(on)) == 0) dtr_ = on;
}

void TCustomComPort::SetRTS(bool on) {
  if (Unchanged(on == rts_)) return;
  if (!IsOpenState()) {
    rts_ = on;
    return;
  }
  if (Check(dispatcher_->SetRts(on)) == 0) rts_ = on;
}

void TCustomComPort::SetTriggerLength(uint16_t length) {
  if (Unchanged(length == triggerLength_)) return;
  triggerLength_ = length;
  if (IsOpenState()) Check(dispatcher_->ChangeLengthTrigger(length));
}

void TCustomComPort::SetThreadBoost(TThreadBoost boost) {
  if (Unchanged(boost == threadBoost_)) return;
  threadBoost_ = boost;
  if (IsOpenState()) dispatcher_->SetThreadBoost(boost);
}

// ================================================================ data

void TCustomComPort::PutChar(char c) {
  if (LineUsable()) Check(dispatcher_->PutChar(c));
}

void TCustomComPort::PutString(std::string_view s) {
  if (LineUsable()) Check(dispatcher_->PutString(s));
}

void TCustomComPort::PutBlock(const void* buf, uint16_t len) {
  if (LineUsable()) Check(dispatcher_->PutBlock(buf, len));
}

void TCustomComPort::GetBlock(void* buf, uint16_t len) {
  if (Usable()) Check(dispatcher_->GetBlock(buf, len));
}

void TCustomComPort::FlushInBuffer() {
  if (LineUsable()) Check(dispatcher_->FlushInBuffer());
}

void TCustomComPort::FlushOutBuffer() {
  if (LineUsable()) Check(dispatcher_->FlushOutBuffer());
}

uint16_t TCustomComPort::GetOutBuffFree() {
  return IsOpenState() ? static_cast<uint16_t>(dispatcher_->OutBuffFree()) : outSize_;
}

uint16_t TCustomComPort::GetOutBuffUsed() {
  return IsOpenState() ? static_cast<uint16_t>(dispatcher_->OutBuffUsed()) : 0;
}

bool TCustomComPort::GetCTS() { return IsOpenState() && dispatcher_->CheckCTS(); }
bool TCustomComPort::GetDSR() { return IsOpenState() && dispatcher_->CheckDSR(); }
bool TCustomComPort::GetRI() { return IsOpenState() && dispatcher_->CheckRI(); }
bool TCustomComPort::GetDCD() { return IsOpenState() && dispatcher_->CheckDCD(); }
bool TCustomComPort::GetDeltaCTS() { return IsOpenState() && dispatcher_->CheckDeltaCTS(); }
bool TCustomComPort::GetDeltaDSR() { return IsOpenState() && dispatcher_->CheckDeltaDSR(); }
bool TCustomComPort::GetDeltaRI() { return IsOpenState() && dispatcher_->CheckDeltaRI(); }
bool TCustomComPort::GetDeltaDCD() { return IsOpenState() && dispatcher_->CheckDeltaDCD(); }
bool TCustomComPort::GetLineBreak() { return IsOpenState() && dispatcher_->CheckLineBreak(); }

uint16_t TCustomComPort::GetLineError() {
  return IsOpenState() ? static_cast<uint16_t>(dispatcher_->GetLineError()) : 0;
}

uint8_t TCustomComPort::GetModemStatus() {
  return Usable() ? dispatcher_->GetModemStatus() : 0;
}

TFlowState TCustomComPort::GetFlowState() {
  if (!Usable()) return fsOff;
  return hwFlow_.Empty() ? dispatcher_->SWFlowState() : dispatcher_->HWFlowState();
}

uint16_t TCustomComPort::InBuffUsed() {
  return IsOpenState() ? static_cast<uint16_t>(dispatcher_->InBuffUsed()) : 0;
}

uint16_t TCustomComPort::InBuffFree() {
  return IsOpenState() ? static_cast<uint16_t>(dispatcher_->InBuffFree()) : kRxBufferSize;
}

bool TCustomComPort::CharReady() { return Usable() && dispatcher_->CharReady(); }

char TCustomComPort::GetChar() {
  if (!Usable()) return 0;
  return static_cast<char>(Check(dispatcher_->GetChar()));
}

char TCustomComPort::PeekChar(uint16_t n) {
  if (!Usable()) return 0;
  return static_cast<char>(Check(dispatcher_->PeekChar(n)));
}

void TCustomComPort::PeekBlock(void* buf, uint16_t len) {
  if (Usable()) Check(dispatcher_->PeekBlock(buf, len));
}

bool TCustomComPort::WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                                   bool ignoreCase) {
  if (text.empty()) return true;
  // A port on its way out has no prompt to give.
  if (portState_ == psShuttingDown || !Usable()) return false;
  CheckLine();
  // Hold on to the dispatcher: a handler run while we yield may close the port.
  std::shared_ptr<TBaseDispatcher> dispatcher = dispatcher_;
  bool wasBusy = dispatcher->SetEventBusy(true);
  TBaseDispatcher* outerWait = waitDispatcher_.exchange(dispatcher.get());
  ++waitDepth_;
  struct Restore {
    TCustomComPort& port;
    TBaseDispatcher& dispatcher;
    TBaseDispatcher* outerWait;
    bool wasBusy;
    ~Restore() {
      // The last wait to end takes the request with it: later waits are not ended.
      if (--port.waitDepth_ == 0) port.endWaits_ = false;
      port.waitDispatcher_ = outerWait;
      if (!wasBusy) dispatcher.SetEventBusy(false);
    }
  } restore{*this, *dispatcher, outerWait, wasBusy};

  auto norm = [ignoreCase](char c) {
    return ignoreCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
  };
  std::string pattern(text);
  for (char& c : pattern) c = norm(c);
  TTickTimer timer;
  timer.Start(timeoutTicks);
  size_t pos = 0;
  bool found = false;
  // A handler run while we yield may close the port, and reopen it: the wait belongs
  // to the dispatcher it started on.
  while (portState_ == psOpen && dispatcher_ == dispatcher && !endWaits_) {
    bool took = false;
    if (dispatcher->CharReady()) {
      int got = dispatcher->GetChar();
      if (got >= 0) {
        took = true;
        char c = static_cast<char>(got);
        if (OnWaitChar) OnWaitChar(*this, c);
        pos = AdvanceMatch(pattern, pos, norm(c));
        if (pos == pattern.size()) {
          found = true;
          break;
        }
      }
    }
    // What came before the loss is read first: it may hold the prompt.
    if (!took && dispatcher->LineLost()) ThrowLineLost(*dispatcher);
    if (timer.Expired()) break;
    uint32_t slice = static_cast<uint32_t>(std::min<uint64_t>(timer.RemainingMs(), kWaitSliceMs));
    if (yield) {
      if (took)
        host_.ProcessMessages();
      else
        host_.WaitAndProcessMessages(slice);
    } else if (!took) {
      dispatcher->WaitReceive(slice);
    }
  }
  // A port closed under the wait has no prompt to give.
  return found && !timer.Expired();
}

void TCustomComPort::EndWait() {
  if (waitDepth_ > 0) endWaits_ = true;
}

// ================================================================ triggers

uint16_t TCustomComPort::AddStatusTrigger(uint16_t kind) {
  return Usable() ? static_cast<uint16_t>(Check(dispatcher_->AddStatusTrigger(kind))) : 0;
}

uint16_t TCustomComPort::AddTimerTrigger() {
  return Usable() ? static_cast<uint16_t>(Check(dispatcher_->AddTimerTrigger())) : 0;
}

uint16_t TCustomComPort::AddDataTrigger(std::string_view text, bool ignoreCase) {
  return Usable() ? static_cast<uint16_t>(Check(dispatcher_->AddDataTrigger(text, ignoreCase)))
                  : 0;
}

void TCustomComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
  if (Usable()) Check(dispatcher_->SetStatusTrigger(handle, value, activate));
}

void TCustomComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
  if (Usable()) Check(dispatcher_->SetTimerTrigger(handle, ticks, activate));
}

void TCustomComPort::RemoveTrigger(uint16_t handle) {
  if (Usable()) Check(dispatcher_->RemoveTrigger(handle));
}

void TCustomComPort::RemoveAllTriggers() {
  if (Usable()) Check(dispatcher_->RemoveAllTriggers());
}

// ================================================================ consumers

void TCustomComPort::RegisterUser(MessageTarget* window) {
  users_.push_back({window, nullptr, nullptr, nullptr, false});
}

void TCustomComPort::RegisterUserEx(MessageTarget* window) {
  users_.push_back({window, nullptr, nullptr, nullptr, true});
}

void TCustomComPort::RegisterUserCallback(const void* object, TPortCallback callback) {
  users_.push_back({nullptr, object, std::move(callback), nullptr, false});
}

void TCustomComPort::RegisterUserCallbackEx(const void* object, TPortCallbackEx callback) {
  users_.push_back({nullptr, object, nullptr, std::move(callback), true});
}

void TCustomComPort::DeregisterUser(MessageTarget* window) {
  if (Destroying()) return;
  std::erase_if(users_, [&](const UserEntry& e) { return e.window == window; });
}

void TCustomComPort::DeregisterUserCallback(const void* object) {
  if (Destroying()) return;
  std::erase_if(users_, [&](const UserEntry& e) {
    return !e.window && !e.extended && e.object == object;
  });
}

void TCustomComPort::DeregisterUserCallbackEx(const void* object) {
  if (Destroying()) return;
  std::erase_if(users_, [&](const UserEntry& e) {
    return !e.window && e.extended && e.object == object;
  });
}

// ================================================================ free functions

bool IsPortAvailable(uint16_t n) {
  if (n == 0) return false;
  std::string path = ComDevicePath(n);
  int r;
  if (UseDispatcherForAvail) {
    TBaseDispatcher probe(nullptr);
    r = probe.OpenCom(path, 4096, 4096);
    if (r == 0) probe.CloseCom();
  } else {
    auto device = MakeSerialDevice(path);
    r = device->Open(path);
    if (r == 0) device->Close();
  }
  return r == 0 || (ShowPortsInUse && DeviceCause(r) == SerialError::Busy);
}

std::vector<std::string> ComSelectEntries() {
  std::vector<std::string> entries;
  for (uint16_t n = 1; n <= kMaxComSelect; ++n)
    if (IsPortAvailable(n)) entries.push_back(ComName(n));
  return entries;
}

TCustomComPort* SearchComPort(TComponent* owner) {
  if (!owner) return nullptr;
  for (TComponent* c : owner->Components()) {
    if (auto* port = dynamic_cast<TCustomComPort*>(c)) return port;
    if (auto* port = SearchComPort(c)) return port;
  }
  return nullptr;
}

}  // namespace zarnik
