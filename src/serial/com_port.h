// TComPort: the serial port component through which the system talks to a COM port.
//
// How it works. The component keeps the port's settings as properties and forwards
// every data operation to a dispatcher (dispatcher.h) that it creates on open and
// destroys when the close completes. The dispatcher's notices arrive at the
// component's notification target (a Host message target standing in for the hidden
// "ComNotifyWindow"), which raises the component's events on the window thread:
// OnTrigger first, then the specific one (OnTriggerAvail for received data, ...).
// Consumers registered with RegisterUser* hear of the port opening (0x7E08), about to
// close (0x7E0A) and closed (0x7E09).
//
// States: psClosed -> (Open := true) -> psOpen -> (Open := false, ComNumber on an open
// port, destructor) -> psShuttingDown -> psClosed. The close completes at once, or,
// when it was started while a notice is being delivered or a prompt wait runs, when
// the notification target handles the deferred-close message the dispatcher posts
// once the notice or wait is over. Open reads true until the close has completed;
// while shutting down, data operations do nothing.
//
// Which device: COM number n opens ComDevicePath(n) (ZARNIK_COM<n>, else
// /dev/ttyS<n-1>). A non-empty DevicePath opens that path instead whatever ComNumber
// says (the command line's --port PATH); "sim:NAME" opens a simulated null modem.
//
// A device that goes away under the open port (an adapter pulled out, the far end of
// a pty closed) is a lost line: the port stays open, but the puts, the flushes,
// WaitForString and CheckLine raise EPortDisconnected naming the device, and
// OnLineLost is raised once on the window thread. Closing the port ends it; an open
// starts on a fresh line.
//
// Errors: a failing dispatcher result raises an ESerialException (EBadId for a port
// that does not exist, EAlreadyOpen for one another program holds, ...); none is
// raised while the component is being loaded.
//
// Threading: window thread only, like its events; the dispatcher's own threads never
// call the component. WaitForString keeps all notices back while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"
#include "serial/com_names.h"
#include "serial/component.h"
#include "serial/dispatcher.h"
#include "serial/port_contract.h"
#include "serial/serial_device.h"

namespace zarnik {

enum TDeviceLayer { dlWin32, dlWinsock };
enum THWFlowOptions { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TThreadBoost { tbNone, tbPlusOne, tbPlusTwo };
enum TPortState { psClosed, psShuttingDown, psOpen };
enum TCallbackType { ctOpen, ctClosing, ctClosed };

// A set of THWFlowOptions.
class THWFlowOptionSet {
 public:
  constexpr THWFlowOptionSet() = default;
  constexpr THWFlowOptionSet(std::initializer_list<THWFlowOptions> options) {
    for (auto o : options) bits_ |= Bit(o);
  }
  constexpr bool Contains(THWFlowOptions o) const { return bits_ & Bit(o); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const THWFlowOptionSet&) const = default;

 private:
  static constexpr uint8_t Bit(THWFlowOptions o) { return uint8_t(1u << o); }
  uint8_t bits_ = 0;
};

// Notices to the consumers of a port.
inline constexpr uint32_t kMsgPortOpen = 0x7E08;
inline constexpr uint32_t kMsgPortClose = 0x7E09;
inline constexpr uint32_t kMsgPortClosing = 0x7E0A;  // also the deferred close
inline constexpr uint32_t kMsgReceiveWake = 0x7E0B;  // bytes came while a prompt wait runs
inline constexpr uint32_t kMsgOutputWake = 0x7E0D;   // output emptied or CTS changed, watched
inline constexpr uint32_t kMsgLineLost = 0x7E0E;     // the device has gone

inline constexpr uint16_t kMaxComSelect = 50;

class TCustomComPort;
using TNotifyEvent = std::function<void(TCustomComPort& sender)>;
using TTriggerEvent =
    std::function<void(TCustomComPort& cp, uint32_t msg, uint16_t triggerHandle, uint16_t data)>;
using TTriggerHandleEvent = std::function<void(TCustomComPort& cp, uint16_t triggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TCustomComPort& cp, uint16_t error, bool lineBreak)>;
using TTriggerPortEvent = std::function<void(TCustomComPort& cp)>;
using TWaitCharEvent = std::function<void(TCustomComPort& cp, char c)>;
using TPortCallback = std::function<void(TCustomComPort& cp, bool opening)>;
using TPortCallbackEx = std::function<void(TCustomComPort& cp, TCallbackType callbackType)>;
// The port-selection dialog ("Select Port"): shows the entries, sets chosen and
// answers true when closed with OK.
using TComSelectDialog =
    std::function<bool(const std::vector<std::string>& entries, std::string& chosen)>;

namespace comselect {
inline constexpr const char* kCaption = "Select Port";
inline constexpr const char* kNotValid = "The configured serial port is not valid.";
inline constexpr const char* kChooseAnother = "Please choose another port.";
inline constexpr const char* kOk = "OK";
}  // namespace comselect

class TCustomComPort : public TComponent, public PortContract {
 public:
  explicit TCustomComPort(Host& host, TComponent* owner = nullptr);
  ~TCustomComPort() override;

  // ---- Port contract ----
  void SetComNumber(uint16_t n) override;
  uint16_t GetComNumber() const override { return comNumber_; }
  void SetBaud(int32_t baud) override;
  int32_t GetBaud() const override { return baud_; }
  void SetParity(TParity parity) override;
  TParity GetParity() const override { return parity_; }
  void SetDataBits(uint16_t bits) override;
  uint16_t GetDataBits() const override { return dataBits_; }
  void SetStopBits(uint16_t bits) override;
  uint16_t GetStopBits() const override { return stopBits_; }
  void SetOpen(bool open) override;
  bool GetOpen() const override { return open_; }
  void PutChar(char c) override;
  void PutString(std::string_view s) override;
  void PutBlock(const void* buf, uint16_t len) override;
  uint16_t GetOutBuffFree() override;
  uint16_t GetOutBuffUsed() override;
  bool GetCTS() override;
  void FlushInBuffer() override;
  void FlushOutBuffer() override;
  void GetBlock(void* buf, uint16_t len) override;
  bool WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                     bool ignoreCase) override;
  void EndWait() override;
  void SetOutputWatch(bool on) override { outputWatch_ = on; }
  void CheckLine() override;
  // The device went away under the open port (see above).
  bool LineLost() const;

  // ---- Further properties ----
  TDeviceLayer GetDeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer layer) { deviceLayer_ = layer; }
  const std::string& GetDevicePath() const { return devicePath_; }
  void SetDevicePath(const std::string& path) { devicePath_ = path; }
  // Makes the device at the next open (nullptr: the standard choice by path).
  void SetDeviceFactory(TDeviceFactory factory) { deviceFactory_ = std::move(factory); }
  bool GetPromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool on) { promptForPort_ = on; }
  uint16_t GetInSize() const { return inSize_; }
  void SetInSize(uint16_t size);
  uint16_t GetOutSize() const { return outSize_; }
  void SetOutSize(uint16_t size);
  bool GetAutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool on) { autoOpen_ = on; }
  THWFlowOptionSet GetHWFlowOptions() const { return hwFlow_; }
  void SetHWFlowOptions(THWFlowOptionSet options);
  TSWFlowOptions GetSWFlowOptions() const { return swFlow_; }
  void SetSWFlowOptions(TSWFlowOptions options);
  char GetXOnChar() const { return xonChar_; }
  void SetXOnChar(char c);
  char GetXOffChar() const { return xoffChar_; }
  void SetXOffChar(char c);
  uint16_t GetBufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t value);
  uint16_t GetBufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t value);
  TTraceLogState GetTracing() const { return tracing_; }
  void SetTracing(TTraceLogState state) { tracing_ = state; }
  TTraceLogState GetLogging() const { return logging_; }
  void SetLogging(TTraceLogState state) { logging_ = state; }
  uint32_t GetTraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t size);
  uint32_t GetLogSize() const { return logSize_; }
  void SetLogSize(uint32_t size);
  const std::string& GetTraceName() const { return traceName_; }
  void SetTraceName(const std::string& name) { traceName_ = name; }
  const std::string& GetLogName() const { return logName_; }
  void SetLogName(const std::string& name) { logName_ = name; }
  bool GetTraceHex() const { return traceHex_; }
  void SetTraceHex(bool on) { traceHex_ = on; }
  bool GetLogHex() const { return logHex_; }
  void SetLogHex(bool on) { logHex_ = on; }
  bool GetTraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool on) { traceAllHex_ = on; }
  bool GetLogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool on) { logAllHex_ = on; }
  bool GetUseMSRShadow() const { return useMSRShadow_; }
  void SetUseMSRShadow(bool on) { useMSRShadow_ = on; }
  bool GetUseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool on) { useEventWord_ = on; }
  uint16_t GetCommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t level) { commNotificationLevel_ = level; }
  TTapiMode GetTapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode mode) { tapiMode_ = mode; }
  bool GetRS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool on) { rs485Mode_ = on; }
  bool GetDTR() const { return dtr_; }
  void SetDTR(bool on);
  bool GetRTS() const { return rts_; }
  void SetRTS(bool on);
  uint16_t GetTriggerLength() const { return triggerLength_; }
  void SetTriggerLength(uint16_t length);
  TThreadBoost GetThreadBoost() const { return threadBoost_; }
  void SetThreadBoost(TThreadBoost boost);
  // The dispatcher while the port is open (or shutting down), else nullptr.
  TBaseDispatcher* Dispatcher() const { return dispatcher_.get(); }
  TPortState PortState() const { return portState_; }
  Host& GetHost() const { return host_; }

  // ---- Data and status ----
  bool CharReady();
  char GetChar();
  char PeekChar(uint16_t n);
  void PeekBlock(void* buf, uint16_t len);
  uint16_t InBuffUsed();
  uint16_t InBuffFree();
  bool GetDSR();
  bool GetRI();
  bool GetDCD();
  bool GetDeltaCTS();
  bool GetDeltaDSR();
  bool GetDeltaRI();
  bool GetDeltaDCD();
  uint16_t GetLineError();
  bool GetLineBreak();
  uint8_t GetModemStatus();
  TFlowState GetFlowState();

  // ---- Triggers (handles are 16-bit) ----
  uint16_t AddStatusTrigger(uint16_t kind);
  uint16_t AddTimerTrigger();
  uint16_t AddDataTrigger(std::string_view text, bool ignoreCase);
  void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
  void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
  void RemoveTrigger(uint16_t handle);
  void RemoveAllTriggers();

  // ---- Consumers ----
  void RegisterUser(MessageTarget* window);
  void RegisterUserEx(MessageTarget* window);
  // Callbacks are identified by their owner object for deregistration.
  void RegisterUserCallback(const void* object, TPortCallback callback);
  void RegisterUserCallbackEx(const void* object, TPortCallbackEx callback);
  void DeregisterUser(MessageTarget* window);
  void DeregisterUserCallback(const void* object);
  void DeregisterUserCallbackEx(const void* object);

  // Tells the dispatcher whether the component's own events want notices.
  void UpdateHandlerFlags();
  void Loaded() override;

  // ---- Events ----
  TEventSlot<TNotifyEvent> OnPortOpen;
  TEventSlot<TNotifyEvent> OnPortClose;
  TEventSlot<TTriggerEvent> OnTrigger;
  TEventSlot<TTriggerHandleEvent> OnTriggerData;
  TEventSlot<TTriggerHandleEvent> OnTriggerStatus;
  TEventSlot<TTriggerHandleEvent> OnTriggerTimer;
  TEventSlot<TTriggerLineErrorEvent> OnTriggerLineError;
  TEventSlot<TTriggerPortEvent> OnTriggerModemStatus;
  TEventSlot<TTriggerPortEvent> OnTriggerOutbuffFree;
  TEventSlot<TTriggerPortEvent> OnTriggerOutbuffUsed;
  TEventSlot<TTriggerPortEvent> OnTriggerOutSent;
  TWaitCharEvent OnWaitChar;
  // The device has gone; raised once per open, on the window thread, while the
  // port's notices are handled (close the port from a later step, not from here).
  TNotifyEvent OnLineLost;
  // Shown when a port is opened with ComNumber 0 and PromptForPort; unset: the open
  // fails with ENoPortSelected.
  TComSelectDialog OnSelectPort;

 private:
  class NotifyTarget : public MessageTarget {
   public:
    explicit NotifyTarget(Host& host) : host_(host) {}
    intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

   private:
    Host& host_;
  };
  friend class NotifyTarget;
  struct UserEntry {
    MessageTarget* window = nullptr;
    const void* object = nullptr;
    TPortCallback callback;
    TPortCallbackEx callbackEx;
    bool extended = false;
  };

  void InitPort();
  void DonePort();
  void ChoosePort();
  void PushSettings();
  void CompleteClose();
  // The dispatcher has finished a deferred close: the close completes.
  void HandleCloseCompletion(const TBaseDispatcher* closed);
  void RaiseTriggerEvents(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  void NotifyUsers(TCallbackType type);
  void ApplyLine();
  void ReapplyFlow();
  // Throws the exception for a negative result, except while loading.
  int Check(int result);
  // True when open; false while shutting down; opens when AutoOpen; else ECommNotOpen.
  bool Usable();
  // Usable, for an operation that needs the line: EPortDisconnected when it is lost.
  bool LineUsable();
  [[noreturn]] void ThrowLineLost(const TBaseDispatcher& dispatcher) const;
  bool IsOpenState() const { return portState_ == psOpen; }
  bool Unchanged(bool same) const { return same && !force_; }

  Host& host_;
  NotifyTarget notifyTarget_;
  std::shared_ptr<TBaseDispatcher> dispatcher_;
  TPortState portState_ = psClosed;
  bool open_ = false;
  bool streamedOpen_ = false;
  bool openRequested_ = false;
  bool force_ = false;
  // The dispatcher a prompt wait runs on (none when no wait runs): its data notices
  // are held back, and nobody else's.
  std::atomic<TBaseDispatcher*> waitDispatcher_{nullptr};
  // Prompt waits running now (one may run inside another's yield), and whether
  // EndWait has ended them. Window thread only.
  int waitDepth_ = 0;
  bool endWaits_ = false;
  std::atomic<bool> outputWatch_{false};
  std::vector<UserEntry> users_;
  TTriggerSave savedTriggers_;
  bool triggersSaved_ = false;

  TDeviceLayer deviceLayer_ = dlWin32;
  std::string devicePath_;
  TDeviceFactory deviceFactory_;
  uint16_t comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  THWFlowOptionSet hwFlow_;
  TSWFlowOptions swFlow_ = swfNone;
  char xonChar_ = 0x11;
  char xoffChar_ = 0x13;
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  TTraceLogState logging_ = tlOff;
  uint32_t traceSize_ = 10000;
  uint32_t logSize_ = 10000;
  std::string traceName_ = "SERIAL.TRC";
  std::string logName_ = "SERIAL.LOG";
  bool traceHex_ = true;
  bool logHex_ = true;
  bool traceAllHex_ = false;
  bool logAllHex_ = false;
  bool useMSRShadow_ = true;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  bool rs485Mode_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  uint16_t triggerLength_ = 1;
  TThreadBoost threadBoost_ = tbNone;
};

// TComPort only publishes what TCustomComPort holds.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};

// Process-wide switches of the availability test.
inline bool UseDispatcherForAvail = true;
inline bool ShowPortsInUse = true;

// Whether COM port n exists (also when another program holds it).
bool IsPortAvailable(uint16_t n);
// "COM%d" for every number from 1 to 50 that IsPortAvailable accepts.
std::vector<std::string> ComSelectEntries();
// The first TCustomComPort among owner's components, depth first.
TCustomComPort* SearchComPort(TComponent* owner);

}  // namespace zarnik
