#include "platform/virtual_host.h"

#include <stdexcept>

namespace zarnik {

uint64_t VirtualHost::NowMs() { return now_.load(); }

uint64_t VirtualHost::Schedule(uint64_t atMs, std::function<void()> fn) {
  uint64_t id = nextEventId_++;
  events_.emplace(std::max<uint64_t>(atMs, now_.load()), Event{id, std::move(fn)});
  return id;
}

void VirtualHost::Cancel(uint64_t eventId) {
  for (auto it = events_.begin(); it != events_.end(); ++it)
    if (it->second.id == eventId) {
      events_.erase(it);
      return;
    }
}

uint64_t VirtualHost::NextEventTime() const {
  return events_.empty() ? UINT64_MAX : events_.begin()->first;
}

void VirtualHost::AdvanceTo(uint64_t atMs) {
  while (!events_.empty() && events_.begin()->first <= atMs) {
    auto it = events_.begin();
    now_ = std::max(now_.load(), it->first);
    auto fn = std::move(it->second.fn);
    events_.erase(it);
    fn();  // may schedule more, earlier than atMs too
  }
  if (atMs > now_.load()) now_ = atMs;
}

void VirtualHost::Sleep(uint32_t ms) { AdvanceTo(now_.load() + ms); }

void VirtualHost::WaitForWork(uint64_t untilMs) {
  for (;;) {
    uint64_t timerDue;
    {
      std::lock_guard lock(mutex_);
      if (HasWorkLocked()) return;
      timerDue = NextTimerDueLocked();
    }
    uint64_t now = now_.load();
    if (now >= untilMs) return;
    uint64_t next = std::min({untilMs, timerDue, NextEventTime()});
    if (next == UINT64_MAX)
      throw std::logic_error("virtual time stands still: a wait without end, nothing scheduled");
    AdvanceTo(std::max(next, now));
  }
}

void VirtualHost::ShowMessageBox(const std::string& text) {
  messages.push_back(text);
  if (onMessage) onMessage(text);
  if (reactionMs) Sleep(reactionMs);
}

bool VirtualHost::AskYesNo(const std::string& text) {
  questions.push_back(text);
  if (yesNoAnswers.empty()) return true;
  bool answer = yesNoAnswers.front();
  yesNoAnswers.pop_front();
  return answer;
}

void VirtualHost::SetStatusText(const std::string& text) { statusTexts.push_back(text); }

}  // namespace zarnik
