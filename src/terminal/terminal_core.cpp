#include "terminal/terminal_core.h"

#include "platform/host.h"

namespace zarnik {

TTerminalCore::TTerminalCore(Host& host, MessageTarget* pane) : host_(host), pane_(pane) {
  builtIn_.Buffer().RegisterTerminalHandle(&host_, pane_);
}

TTerminalCore::~TTerminalCore() {
  builtIn_.Buffer().DeregisterTerminalHandle();
  if (external_) external_->Buffer().DeregisterTerminalHandle();
}

void TTerminalCore::SetEmulator(TTerminalEmulator* external) {
  if (external == external_) return;
  Emulator().Buffer().DeregisterTerminalHandle();
  Emulator().teSetTerminal(nullptr);
  external_ = external;
  Emulator().teSetTerminal(site_);
  Emulator().Buffer().RegisterTerminalHandle(&host_, pane_);
}

void TTerminalCore::SetSite(TTerminalSite* site) {
  site_ = site;
  Emulator().teSetTerminal(site);
}

size_t TTerminalCore::QueueFromPort(size_t count, const TByteQueue::Filler& read) {
  size_t got = queue_.AppendFrom(count, read);
  // A fast line brings many small blocks; one notice in flight serves them all.
  if (got > 0 && !portPosted_.exchange(true)) host_.Post(pane_, kMsgTermStuff, csPort);
  return got;
}

void TTerminalCore::QueueText(std::string_view text) {
  if (text.empty()) return;
  queue_.Append(text.data(), text.size());
  host_.Post(pane_, kMsgTermStuff, csWriteChar);
}

size_t TTerminalCore::ProcessQueued(TCharSource source) {
  // Cleared before the queue is read: bytes added after this get a notice of their own.
  portPosted_.store(false);
  size_t n = queue_.Pending();
  if (n == 0) return 0;
  if (block_.size() < n) block_.resize(n);
  n = queue_.Read(block_.data(), n);
  if (capture_.Mode() == cmOn) capture_.Write(block_.data(), n);
  Emulator().ProcessBlock(block_.data(), n, source);
  return n;
}

}  // namespace zarnik
