#include "platform/console_host.h"

#include <iostream>

namespace zarnik {

ConsoleHost::ConsoleHost(ConsoleHostOptions options)
    : options_(std::move(options)), start_(std::chrono::steady_clock::now()) {}

uint64_t ConsoleHost::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void ConsoleHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ConsoleHost::WaitForWork(uint64_t untilMs) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (HasWorkLocked()) return;
    uint64_t now = NowMs();
    uint64_t until = std::min(untilMs, NextTimerDueLocked());
    if (now >= until) return;
    if (until == UINT64_MAX)
      cv_.wait(lock);
    else
      cv_.wait_for(lock, std::chrono::milliseconds(until - now));
  }
}

std::ostream& ConsoleHost::Out() { return options_.out ? *options_.out : std::cerr; }

void ConsoleHost::ShowMessageBox(const std::string& text) {
  Out() << text << std::endl;
}

bool ConsoleHost::AskYesNo(const std::string& text) {
  Out() << text << (options_.yesNoAnswer ? " [Yes]" : " [No]") << std::endl;
  return options_.yesNoAnswer;
}

void ConsoleHost::SetStatusText(const std::string& text) {
  if (options_.showStatus) Out() << options_.statusPrefix << text << std::endl;
}

}  // namespace zarnik
