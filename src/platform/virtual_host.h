// VirtualHost: the Host on virtual time, for tests.
//
// The clock stands still until the window thread sleeps or waits; then it jumps
// forward, running scheduled events (a simulated unit answering, a line draining)
// and timers in time order. A 24-second prompt failure thus runs in microseconds
// and the same way every time. Everything runs on the one test thread.
//
// What the operator would see is recorded: message boxes, Yes/No questions, status
// texts, button and menu states. Tests may hook message boxes (the operator closes
// them after reactionMs of virtual time) and script the Yes/No answers.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host.h"

namespace zarnik {

class VirtualHost : public Host {
 public:
  VirtualHost() = default;

  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;

  // Runs fn on the window thread when the virtual clock reaches atMs (in order of
  // time, then of scheduling). Returns an id for Cancel.
  uint64_t Schedule(uint64_t atMs, std::function<void()> fn);
  uint64_t ScheduleIn(uint64_t inMs, std::function<void()> fn) { return Schedule(NowMs() + inMs, std::move(fn)); }
  void Cancel(uint64_t eventId);
  // Moves the clock forward to atMs, running what falls due on the way.
  void AdvanceTo(uint64_t atMs);

  bool AskYesNo(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetWaitCursor(bool on) override { waitCursor = on; }
  void SetScriptButtonsEnabled(bool enabled) override { scriptButtonsEnabled = enabled; }
  void SetConfigMenuVisible(bool visible) override {
    configMenuVisible = visible;
    configMenuChanges.push_back(visible);
  }

  // ---- What the operator saw ----
  std::vector<std::string> messages;        // every message box, in order
  std::vector<std::string> questions;       // every Yes/No box
  std::vector<std::string> statusTexts;     // every status text
  bool waitCursor = false;
  bool scriptButtonsEnabled = true;
  bool configMenuVisible = true;
  std::vector<bool> configMenuChanges;

  // ---- How the operator acts ----
  std::deque<bool> yesNoAnswers;            // answered in order; Yes when empty
  uint32_t reactionMs = 0;                  // virtual time a box stays open
  std::function<void(const std::string&)> onMessage;  // called while a box is open

 protected:
  void ShowMessageBox(const std::string& text) override;
  void WaitForWork(uint64_t untilMs) override;

 private:
  struct Event {
    uint64_t id;
    std::function<void()> fn;
  };
  uint64_t NextEventTime() const;

  std::atomic<uint64_t> now_{0};
  std::multimap<uint64_t, Event> events_;  // by time, then insertion order
  uint64_t nextEventId_ = 1;
};

}  // namespace zarnik
