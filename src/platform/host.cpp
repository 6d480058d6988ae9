#include "platform/host.h"

#include <algorithm>
#include <vector>

namespace zarnik {

Host::Host() : windowThread_(std::this_thread::get_id()) {}

bool Host::IsWindowThread() const { return std::this_thread::get_id() == windowThread_; }

void Host::MakeWindowThread() { windowThread_ = std::this_thread::get_id(); }

void Host::AddTarget(MessageTarget* target) {
  std::lock_guard lock(mutex_);
  targets_.insert(target);
}

void Host::RemoveTarget(MessageTarget* target) {
  std::lock_guard lock(mutex_);
  targets_.erase(target);
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->target != target) {
      ++it;
      continue;
    }
    if (it->reply) it->reply->done = true;  // delivered stays false
    it = queue_.erase(it);
  }
  cv_.notify_all();
}

bool Host::Deliverable(MessageTarget* target) const { return targets_.count(target) != 0; }

void Host::Post(MessageTarget* target, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard lock(mutex_);
  if (!Deliverable(target)) return;
  queue_.push_back({target, msg, wParam, lParam, nullptr, nullptr});
  cv_.notify_all();
  WorkQueued();
}

intptr_t Host::Handle(const Pending& p) {
  struct Around {
    const AroundHandling& fn;
    explicit Around(const AroundHandling& f) : fn(f) {
      if (fn) fn(true);
    }
    ~Around() {
      if (fn) fn(false);
    }
  } around(p.around);
  return p.target->HandleMessage(p.msg, p.wParam, p.lParam);
}

bool Host::Send(MessageTarget* target, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                uint32_t timeoutMs, intptr_t* result, AroundHandling around) {
  if (IsWindowThread()) {
    {
      std::lock_guard lock(mutex_);
      if (!Deliverable(target)) return false;
    }
    intptr_t r = Handle({target, msg, wParam, lParam, nullptr, std::move(around)});
    if (result) *result = r;
    return true;
  }
  auto reply = std::make_shared<Pending::Reply>();
  std::unique_lock lock(mutex_);
  if (!Deliverable(target)) return false;
  queue_.push_back({target, msg, wParam, lParam, reply, std::move(around)});
  cv_.notify_all();
  WorkQueued();
  // A sender's time-out is real time whatever clock the host keeps: it guards a
  // worker thread against a window thread that does not service its queue.
  bool finished = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return reply->done; });
  if (!finished) {
    auto it = std::find_if(queue_.begin(), queue_.end(),
                           [&](const Pending& p) { return p.reply == reply; });
    if (it != queue_.end()) queue_.erase(it);
    return false;
  }
  if (result) *result = reply->result;
  return reply->delivered;
}

void Host::ProcessMessages() {
  size_t pending;
  {
    std::lock_guard lock(mutex_);
    pending = queue_.size();
  }
  // Only what is pending on entry: a handler that posts again does not keep us here.
  for (; pending > 0; --pending) {
    Pending p;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      p = queue_.front();
      queue_.pop_front();
      if (!Deliverable(p.target)) {
        if (p.reply) p.reply->done = true;
        cv_.notify_all();
        continue;
      }
    }
    intptr_t r = Handle(p);
    if (p.reply) {
      std::lock_guard lock(mutex_);
      p.reply->result = r;
      p.reply->delivered = true;
      p.reply->done = true;
      cv_.notify_all();
    }
  }
  RunDueTimers();
}

void Host::WaitAndProcessMessages(uint32_t maxMs) {
  WaitForWork(maxMs == kInfinite ? UINT64_MAX : NowMs() + maxMs);
  ProcessMessages();
}

bool Host::HasWorkLocked() {
  if (!queue_.empty()) return true;
  return NextTimerDueLocked() <= NowMs();
}

uint64_t Host::NextTimerDueLocked() const {
  uint64_t due = UINT64_MAX;
  for (const auto& [id, t] : timers_)
    if (t.enabled) due = std::min(due, t.dueMs);
  return due;
}

void Host::RunDueTimers() {
  std::vector<std::pair<uint64_t, TimerId>> due;
  uint64_t now = NowMs();
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, t] : timers_)
      if (t.enabled && t.dueMs <= now) due.emplace_back(t.dueMs, id);
  }
  // Earliest first, so virtual time runs timers in order.
  std::sort(due.begin(), due.end());
  for (auto [dueMs, id] : due) {
    std::function<void()> fn;
    {
      std::lock_guard lock(mutex_);
      auto it = timers_.find(id);
      // A handler run before this one may have stopped or restarted it.
      if (it == timers_.end() || !it->second.enabled || it->second.dueMs > now) continue;
      it->second.dueMs = now + it->second.intervalMs;
      fn = it->second.onTimer;
    }
    if (fn) fn();
  }
}

TimerId Host::CreateTimer(std::function<void()> onTimer) {
  std::lock_guard lock(mutex_);
  TimerId id = nextTimer_++;
  timers_[id].onTimer = std::move(onTimer);
  return id;
}

void Host::SetTimerInterval(TimerId id, uint32_t intervalMs) {
  uint64_t now = NowMs();
  std::lock_guard lock(mutex_);
  auto& t = timers_.at(id);
  t.intervalMs = intervalMs;
  if (t.enabled) {
    t.dueMs = now + intervalMs;
    WorkQueued();
  }
}

void Host::SetTimerEnabled(TimerId id, bool enabled) {
  uint64_t now = NowMs();
  std::lock_guard lock(mutex_);
  auto& t = timers_.at(id);
  if (enabled && !t.enabled) t.dueMs = now + t.intervalMs;
  t.enabled = enabled;
  cv_.notify_all();
  if (enabled) WorkQueued();
}

bool Host::TimerEnabled(TimerId id) const {
  std::lock_guard lock(mutex_);
  return timers_.at(id).enabled;
}

void Host::ShowMessage(const std::string& text) {
  std::vector<MessageWatcher> watchers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, w] : watchers_) watchers.push_back(w);
  }
  for (const auto& w : watchers) w(text);
  ShowMessageBox(text);
}

int Host::WatchMessages(MessageWatcher watcher) {
  std::lock_guard lock(mutex_);
  int id = nextWatcher_++;
  watchers_[id] = std::move(watcher);
  return id;
}

void Host::UnwatchMessages(int id) {
  std::lock_guard lock(mutex_);
  watchers_.erase(id);
}

void Host::DestroyTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

}  // namespace zarnik
