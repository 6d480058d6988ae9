// The port contract: the operations of a serial port that the unit link, port
// discovery and start-up rely on, and the results they may count on. TComPort
// implements it over the dispatcher; tests implement it on virtual time.
//
// Threading: window thread only. OnTriggerAvail is raised on the window thread
// while it services its message queue, never while WaitForString runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "serial/serial_exceptions.h"

namespace zarnik {

enum TParity { pNone, pOdd, pEven, pMark, pSpace };

// A bound event: holds a handler like a std::function, and tells its owner when a
// handler is assigned (a port then knows whether it must ask for notices at all).
// Copies carry the handler only.
template <typename F>
class TEventSlot {
 public:
  TEventSlot() = default;
  TEventSlot(const TEventSlot& other) : fn_(other.fn_) {}
  TEventSlot& operator=(const TEventSlot& other) {
    Assign(other.fn_);
    return *this;
  }
  template <typename G>
    requires(std::is_constructible_v<F, G> && !std::is_same_v<std::decay_t<G>, TEventSlot>)
  TEventSlot& operator=(G&& handler) {
    Assign(F(std::forward<G>(handler)));
    return *this;
  }
  explicit operator bool() const { return static_cast<bool>(fn_); }
  // Both forms, so that `F saved = slot;` takes the handler rather than wrapping the slot.
  operator const F&() const { return fn_; }
  operator const F&() { return fn_; }
  const F& Handler() const { return fn_; }
  // An empty event is skipped, as a call through a copy of it would be.
  template <typename... A>
  decltype(auto) operator()(A&&... args) const {
    using R = typename F::result_type;
    if constexpr (std::is_void_v<R>) {
      if (fn_) fn_(std::forward<A>(args)...);
    } else {
      return fn_(std::forward<A>(args)...);
    }
  }
  // Called after every assignment.
  void SetChangeHook(std::function<void()> hook) { hook_ = std::move(hook); }

 private:
  void Assign(F fn) {
    fn_ = std::move(fn);
    if (hook_) hook_();
  }
  F fn_;
  std::function<void()> hook_;
};

class PortContract;
// Data-available event: the port and the number of bytes waiting.
using TTriggerAvailEvent = std::function<void(PortContract& cp, uint16_t count)>;

class PortContract {
 public:
  virtual ~PortContract() = default;

  // Settings. ComNumber on an open port closes it and opens the new number; the
  // line settings apply at once to an open port, after its output has drained.
  virtual void SetComNumber(uint16_t n) = 0;
  virtual uint16_t GetComNumber() const = 0;
  virtual void SetBaud(int32_t baud) = 0;
  virtual int32_t GetBaud() const = 0;
  virtual void SetParity(TParity parity) = 0;
  virtual TParity GetParity() const = 0;
  virtual void SetDataBits(uint16_t bits) = 0;
  virtual uint16_t GetDataBits() const = 0;
  virtual void SetStopBits(uint16_t bits) = 0;
  virtual uint16_t GetStopBits() const = 0;

  // Opening fails with an ESerialException and leaves the port closed.
  virtual void SetOpen(bool open) = 0;
  virtual bool GetOpen() const = 0;

  // Puts copy the whole text or block into the output buffer or fail as a whole
  // (EOutputBufferTooSmall). Closed: ECommNotOpen.
  virtual void PutChar(char c) = 0;
  virtual void PutString(std::string_view s) = 0;
  virtual void PutBlock(const void* buf, uint16_t len) = 0;

  // Closed: OutSize, 0 and false.
  virtual uint16_t GetOutBuffFree() = 0;
  virtual uint16_t GetOutBuffUsed() = 0;
  virtual bool GetCTS() = 0;

  // Closed: ECommNotOpen.
  virtual void FlushInBuffer() = 0;
  virtual void FlushOutBuffer() = 0;
  // Copies exactly len waiting bytes, oldest first; fewer waiting: EBufferIsEmpty.
  virtual void GetBlock(void* buf, uint16_t len) = 0;
  // Consumes received bytes until text has arrived (true) or timeoutTicks ticks of
  // 55 ms have passed (false); services the message queue while waiting if yield.
  virtual bool WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                             bool ignoreCase) = 0;
  // Ends the waits that run now: each WaitForString returns false at its next step
  // (within one slice of the queue when it yields). Called from a handler that a
  // yielding wait runs. With no wait running it does nothing: a stop that comes
  // before a wait is for the caller to remember, and no later wait is touched.
  virtual void EndWait() = 0;
  // While on, the port posts the window thread a message when its output buffer has
  // emptied or CTS has changed, so that a wait for either can block in the message
  // queue instead of polling. A port that cannot tell leaves the waiter to its time
  // slices.
  virtual void SetOutputWatch(bool on) { (void)on; }

  // The device under an open port can go away (an adapter pulled out, the far end of
  // a pty closed). From then until the port is closed, the puts, the flushes and
  // WaitForString raise EPortDisconnected, which names the device, and so does this
  // check. The port posts to the message queue when it learns of the loss, so a wait
  // that blocks in the queue calls this after every wake-up.
  virtual void CheckLine() {}

  TEventSlot<TTriggerAvailEvent> OnTriggerAvail;
};

}  // namespace zarnik
