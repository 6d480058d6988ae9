// The communications dispatcher: the engine under a port component. One exists per
// open port. It owns the device, a receive ring of 8192 bytes, an output ring of
// OutSize bytes, three worker threads, the triggers, and the consumers that want to
// hear when a trigger fires.
//
// How it works. The comm thread waits for device events (received bytes, modem line
// changes, breaks, errors) and hands each to the dispatcher thread, then waits until
// that one is done with it; received bytes that follow closely on the last ones it
// handed on wait a few milliseconds for the next, unless a prompt wait runs, so that
// a steady stream makes one notice of many small reads. The dispatcher thread wakes
// for those events and at least every 50 ms; it copies received bytes into the
// receive ring, checks status, receive and timer triggers, and delivers notices: it
// calls event and procedure handlers directly on its own thread, and sends window
// notices through the Host, waiting at most 3000 ms for each. The writer thread hands
// the output ring to the device; a byte counts as used until the device has sent it,
// so OutBuffUsed falls to 0 only when the output has left the line (or at least the
// driver, for devices that cannot tell). Put, Get and the other operations return 0
// or a count on success and a negative error code otherwise; the port component turns
// them into exceptions.
//
// A device that goes away under the port (an adapter pulled out, the far end of a pty
// closed) ends the comm thread: it marks the line lost, wakes whoever waits for bytes
// or for the output, and calls the line-lost wake-up once. The other threads keep
// going until the port is closed; the device answers them with deNotConnected.
//
// A data-available notice (0x7E01) announces every byte waiting; who hears it and
// how their reads are told apart is the notice hub's (notice_hub.h). A notice not read
// in full is not repeated until new bytes come. No notice is sent while the hub's slot
// is held (a notice in progress, or a prompt wait of the component).
//
// The device is the dispatcher's own: a SerialDevice made at OpenCom by the factory
// given (MakeSerialDevice when none), kept until the dispatcher goes, so a thread that
// still touches it after CloseCom gets a clean failure.
//
// Where things are: rx_ring.h (receive ring and the read accounting of data notices),
// tx_ring.h (output ring and the writer's view of it), notice_hub.h (consumers and
// notice delivery), dispatcher_port.cpp (the port list, opening and closing, the
// device), dispatcher_line.cpp (line and flow settings, modem and line status),
// dispatcher.cpp (the threads, the rings, DispatchOnce and the triggers).
//
// Threading. Four threads touch a dispatcher: the window thread (every public call
// unless stated otherwise, window consumers), the comm, dispatcher and writer threads.
// Procedure and event handlers run on the dispatcher thread and may call the read
// operations, FlushInBuffer and the registration calls. Deregistering one from another
// thread waits until a call of it in progress has returned, so such a handler must not
// wait for the thread that deregisters it. Locks: StateLock (settings, triggers,
// consumer lists, flags), then the rings' own locks (RxLock, TxLock); notices are
// delivered holding none. The process-wide PortList has its own lock, which the
// component also holds while it runs a handler.
//
// The hand-shakes between the threads, each with one meaning (under syncMutex_):
//   wakeDispatch_    comm -> dispatcher thread: an event waits to be dispatched.
//   dispatchDone_    dispatcher thread -> comm: done with it, wait for the next.
//   txWake_          a put -> writer: bytes wait in the output ring.
//   txFlush_         FlushOutBuffer -> writer: let go of what you are writing.
//   flushDone_       writer -> FlushOutBuffer: let go (also when the writer ended).
//   threadsStarted_  each thread -> StartDispatcher: running (counted).
//   dispEnded_       the dispatcher thread has ended; with closeAfterNotice_ it
//                    decides who finishes a deferred close (below).
// The end of a thread is told by its running flag and the thread count.
//
// Closing. DonePort closes the device and stops the comm and writer threads. When it
// is called while the hub's slot is held (from inside a notice, or while a prompt wait
// runs), the dispatcher thread cannot be joined from here: closeAfterNotice_ is set,
// the delivery stops after the consumer that closed, and the dispatcher thread ends by
// itself. Whichever of the two comes last, that thread's end or DonePort, finishes
// the close, once: it frees the rings and calls the closed wake-up, on which the
// owner destroys the dispatcher (joining a thread that has already ended its work).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "serial/comm_defs.h"
#include "serial/notice_hub.h"
#include "serial/rx_ring.h"
#include "serial/serial_device.h"
#include "serial/tx_ring.h"
#include "serial/triggers.h"

namespace zarnik {

class TCustomComPort;

inline constexpr uint32_t kRxBufferSize = RxRing::kSize;
inline constexpr uint32_t kInitialBaud = 115200;

inline constexpr uint32_t kDispatchWakeMs = 50;

// InitPort options.
inline constexpr uint32_t ipDtr = 0x01;
inline constexpr uint32_t ipRts = 0x02;
inline constexpr uint32_t ipEventWord = 0x04;
inline constexpr uint32_t ipDtrHandshake = 0x10;
inline constexpr uint32_t ipRtsHandshake = 0x20;

// HWFlowOptions flags.
inline constexpr uint32_t hfUseDtr = 0x01;
inline constexpr uint32_t hfUseRts = 0x02;
inline constexpr uint32_t hfRequireDsr = 0x04;
inline constexpr uint32_t hfRequireCts = 0x08;
// SWFlowEnable flags.
inline constexpr uint32_t sfTransmit = 0x01;
inline constexpr uint32_t sfReceive = 0x02;

enum THandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };
enum TFlowState { fsOff, fsOn, fsDsrHold, fsCtsHold, fsXOutHold };

// The process-wide list of dispatchers. A dispatcher's slot index is its PortIndex.
void LockPortList();
void UnlockPortList();
std::recursive_mutex& PortListMutex();
// The dispatcher in slot index, or nullptr (call with the list locked).
class TBaseDispatcher;
TBaseDispatcher* PortListAt(int index);
int PortListCount();

class TBaseDispatcher {
 public:
  // host: where window notices go (may be nullptr for a dispatcher that only probes).
  // factory makes the device at OpenCom (nullptr: MakeSerialDevice by path).
  explicit TBaseDispatcher(Host* host, TDeviceFactory factory = nullptr);
  ~TBaseDispatcher();
  TBaseDispatcher(const TBaseDispatcher&) = delete;
  TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

  // ---- The device ----
  int OpenCom(const std::string& name, uint32_t inSize, uint32_t outSize);
  void CloseCom();
  // Error bits (also accumulated into the line errors); the status record's
  // transmit count is replaced by the bytes in the output ring.
  uint32_t GetComError(TComStat& stat);
  void SetThreadBoost(int boost) { threadBoost_ = boost; }
  void UpdateHandlerFlags(THandlerFlagUpdate update);

  // ---- Opening and closing ----
  int InitPort(const std::string& name, int32_t baud, int parity, int dataBits, int stopBits,
               uint32_t inSize, uint32_t outSize, uint32_t options);
  void DonePort();
  void StartDispatcher();
  void StopDispatcher();

  // ---- Line settings and flow control ----
  int SetLine(int32_t baud, int parity, int dataBits, int stopBits);
  void GetLine(int32_t& baud, int& parity, int& dataBits, int& stopBits);
  int SetCommBuffers(uint32_t inSize, uint32_t outSize);
  int HWFlowOptions(uint16_t full, uint16_t resume, uint32_t flags);
  TFlowState HWFlowState();
  int SWFlowEnable(uint16_t full, uint16_t resume, uint32_t flags);
  int SWFlowDisable();
  TFlowState SWFlowState();
  int SWFlowChars(char on, char off);
  int SetDtr(bool on);
  int SetRts(bool on);
  // Milliseconds WaitTxSent sleeps after the drain: 18 characters at these settings.
  static uint32_t TxSentDelayMs(const TDcb& dcb);

  // ---- Receiving ----
  int ChangeLengthTrigger(uint16_t length);
  bool CharReady();
  int GetChar();              // the byte, or ecBufferIsEmpty
  int PeekChar(uint16_t n);   // the n-th waiting byte (0 first)
  int GetBlock(void* buf, size_t len);
  int PeekBlock(void* buf, size_t len);
  int InBuffUsed();
  int InBuffFree();
  int FlushInBuffer();

  // ---- Sending ----
  int PutChar(char c) { return PutBlock(&c, 1); }
  int PutString(std::string_view s) { return PutBlock(s.data(), s.size()); }
  int PutBlock(const void* buf, size_t n);
  int OutBuffUsed();
  int OutBuffFree();
  int FlushOutBuffer();

  // ---- Modem and line status ----
  uint8_t GetModemStatus();
  bool CheckCTS();
  bool CheckDSR();
  bool CheckRI();
  bool CheckDCD();
  bool CheckDeltaCTS();
  bool CheckDeltaDSR();
  bool CheckDeltaRI();
  bool CheckDeltaDCD();
  int GetLineError();
  bool CheckLineBreak();

  // ---- Triggers ----
  int AddTimerTrigger();
  int AddStatusTrigger(uint16_t kind);
  int AddDataTrigger(std::string_view text, bool ignoreCase);
  int SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
  int SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
  int RemoveTrigger(uint16_t handle);
  int RemoveAllTriggers();
  // The kind (1..5) of a status trigger handle, or ecBadTriggerHandle.
  int ClassifyStatusTrigger(uint16_t handle);
  void SaveTriggers(TTriggerSave& save);
  void RestoreTriggers(const TTriggerSave& save);

  // ---- Consumers ----
  void RegisterWndTriggerHandler(MessageTarget* window);
  void DeregisterWndTriggerHandler(MessageTarget* window);
  void RegisterProcTriggerHandler(TTriggerProc proc);
  void DeregisterProcTriggerHandler(TTriggerProc proc);
  void RegisterEventTriggerHandler(const void* object, TTriggerHandler handler);
  void DeregisterEventTriggerHandler(const void* object);
  void RegisterSyncEventTriggerHandler(const void* object, TTriggerHandler handler);
  void DeregisterSyncEventTriggerHandler(const void* object);

  // ---- Flags ----
  // Sets the event-busy flag of a prompt wait and returns its previous value (the
  // hub's prompt-wait flag).
  bool SetEventBusy(bool busy) { return hub_->SetPromptWait(busy); }
  // A notice is being delivered or a prompt wait runs.
  bool EventBusy() const { return hub_->Busy(); }
  bool CloseAfterNotice() const { return closeAfterNotice_.load(); }
  bool ThreadsActive() const { return threadsActive_.load(); }
  int ThreadCount() const { return threadCount_.load(); }
  // Rounds the dispatcher thread has completed: a test waits for rounds, not time.
  uint64_t DispatchRounds() const { return rounds_.load(); }
  // Times received bytes were held back to gather with the ones following closely.
  uint64_t ReceiveGathers() const { return gathers_.load(); }
  bool DeviceOpen() const { return deviceOpen_.load(); }
  // Blocks until received bytes may be waiting or maxMs have passed (any thread).
  void WaitReceive(uint32_t maxMs);
  // Called on the dispatcher thread after received bytes were put in the ring.
  void SetReceiveWakeup(std::function<void()> wake) { SetWakeup(receiveWakeup_, std::move(wake)); }
  // Called (on the writer or dispatcher thread) when the output ring has emptied or
  // CTS has changed.
  void SetOutputWakeup(std::function<void()> wake) { SetWakeup(outputWakeup_, std::move(wake)); }
  // Called once, on the comm thread, when the device has gone.
  void SetLineLostWakeup(std::function<void()> wake) {
    SetWakeup(lineLostWakeup_, std::move(wake));
  }
  // Called once when a close deferred by a notice or a prompt wait has finished (on
  // the dispatcher thread, or on the thread that closed): the dispatcher may go now.
  void SetClosedWakeup(std::function<void()> wake) { SetWakeup(closedWakeup_, std::move(wake)); }
  // The device went away under the open port; it stays so until the port is closed.
  bool LineLost() const { return lineLost_.load(); }
  // How long a window consumer may take over a notice (kNoticeTimeoutMs); tests
  // shorten it to reach a handler that outlives its notice.
  void SetNoticeTimeoutMs(uint32_t ms) { hub_->SetTimeoutMs(ms); }

  // ---- Identity ----
  int PortIndex() const { return portIndex_; }
  void SetOwner(TCustomComPort* owner) { owner_.store(owner); }
  TCustomComPort* Owner() const { return owner_.load(); }
  void SetComName(std::string name) { comName_ = std::move(name); }
  const std::string& ComName() const { return comName_; }
  // The device InitPort opened (its name or path).
  const std::string& DeviceName() const { return deviceName_; }
  Host* GetHost() const { return host_; }

 private:
  // Ends the work of a dispatcher that is being destroyed: closes it, waits
  // (servicing the window thread's queue) until its threads have ended, joins them.
  void Shutdown();
  // Stops the comm and writer threads (before the device is closed under them).
  void StopWorkers();
  // Frees the rings and tells the owner, once, that a deferred close has finished.
  void FinishDeferredClose();

  // ---- The device's calls, failing cleanly when there is none ----
  int EscapeComFunction(int func);
  int FlushCom(uint32_t purgeFlags);
  int GetComState(TDcb& dcb);
  int ReadCom(void* buf, size_t n);
  int SetComState(const TDcb& dcb);
  int WaitComEvent(uint32_t mask, uint32_t timeoutMs);
  int SetupCom(uint32_t inSize, uint32_t outSize);

  // ---- Thread bodies ----
  void ThreadStarted();
  void CommThreadRun();
  void DispThreadRun();
  void OutThreadRun();

  // Comm thread: lets a stream of received bytes gather (see kRxGather).
  int GatherReceived(int events, std::chrono::steady_clock::time_point until);
  // Dispatcher thread steps.
  void DispatchOnce(uint32_t mask);
  void ExtractReceived();
  bool CheckStatusTriggers();
  bool CheckReceiveTriggers();
  bool CheckTimerTriggers();
  bool StatusConditionLocked(TStatusTrigger& t, uint16_t& data);
  // Whether a fired trigger may go on now, taking the hub's slot when someone wants to
  // hear it (reserved) (StateLock held): false while the slot is held elsewhere.
  bool TakeSlotLocked(bool& reserved);
  void StatusLoop();

  // Writer thread.
  void WriteOut();
  void OutputChanged();

  void UpdateModemStatus();
  void RefreshStatus();
  // The comm thread's last act when the device has gone.
  void LineGone();
  int WaitTxSent();
  int SetCommStateFix(TDcb dcb);
  void FreeBuffers();
  void JoinThread(std::thread& t, std::atomic<bool>& running, uint64_t maxMs, bool pump);
  void SignalAll();
  void RaiseFlag(bool& flag);
  void SetWakeup(std::function<void()>& slot, std::function<void()> wake);
  void CallWakeup(const std::function<void()>& slot);

  Host* host_;
  TDeviceFactory factory_;
  std::unique_ptr<SerialDevice> device_;
  std::atomic<bool> deviceOpen_{false};

  // Identity.
  std::atomic<TCustomComPort*> owner_{nullptr};
  int portIndex_ = -1;
  std::string comName_;
  std::string deviceName_;

  // Locks.
  std::recursive_mutex stateLock_;
  std::mutex statusLock_;  // leaf lock: line errors, modem byte, status record

  // Settings (StateLock).
  TDcb dcb_;
  uint32_t inSize_ = 4096;
  uint32_t outSize_ = 4096;
  uint32_t lastBaud_ = kInitialBaud;
  bool dtrOn_ = true, rtsOn_ = true;
  bool dtrHandshake_ = false, rtsHandshake_ = false;
  bool rs485_ = false;
  int threadBoost_ = 0;
  uint32_t options_ = 0;

  // Status (statusLock_).
  TComStat comStat_;
  uint32_t lineErrors_ = 0;
  uint8_t modemStatus_ = 0;
  std::atomic<bool> ringSeen_{false};

  // Receive ring with its notice accounting (its own lock is the RxLock). Shared: a
  // step the host runs after a window handler may outlive the dispatcher.
  std::shared_ptr<RxRing> rx_ = std::make_shared<RxRing>();
  std::atomic<uint16_t> availLength_{1};

  // Output ring (its own lock is the TxLock).
  TxRing tx_;
  // Nanoseconds a character takes on the line at the settings in force (the writer's
  // estimate of how long the device's queue takes to drain).
  std::atomic<uint64_t> charNs_{10 * 1000000000ull / kInitialBaud};
  std::atomic<bool> outputSent_{false};

  // Triggers (StateLock).
  TTriggerList triggers_;
  std::function<void()> receiveWakeup_;
  std::function<void()> outputWakeup_;
  std::function<void()> lineLostWakeup_;
  std::function<void()> closedWakeup_;

  // Flags.
  std::atomic<bool> closeAfterNotice_{false};
  std::atomic<bool> lineLost_{false};
  std::atomic<bool> stopThreads_{false};
  std::atomic<bool> threadsActive_{false};
  std::atomic<int> threadCount_{0};
  std::atomic<uint64_t> rounds_{0};
  std::atomic<uint64_t> gathers_{0};
  std::atomic<uint32_t> lastEventMask_{0};

  // Hand-shakes between the threads (see the header's threading section).
  std::mutex syncMutex_;
  std::condition_variable syncCv_;
  // The writer's own: the comm and dispatcher threads' hand-shakes, one pair per
  // received block, need not wake it.
  std::condition_variable outCv_;
  bool wakeDispatch_ = false;
  bool dispatchDone_ = false;
  bool txWake_ = false;
  bool txFlush_ = false;
  bool flushDone_ = false;
  int threadsStarted_ = 0;
  bool dispEnded_ = true;  // no dispatcher thread runs
  bool closeFinished_ = false;

  std::thread commThread_, dispThread_, outThread_;
  std::atomic<bool> commRunning_{false}, dispRunning_{false}, outRunning_{false};

  // Consumers and notice delivery; uses stateLock_, rx_ and closeAfterNotice_.
  std::unique_ptr<NoticeHub> hub_;
};

}  // namespace zarnik
