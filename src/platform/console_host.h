// ConsoleHost: the Host on real time for the command line. Message boxes and
// status texts become lines on an output stream; a Yes/No box takes a fixed answer
// (nobody sits at a batch run to click it).
#pragma once

#include <chrono>
#include <iosfwd>

#include "platform/host.h"

namespace zarnik {

struct ConsoleHostOptions {
  std::ostream* out = nullptr;   // nullptr: std::cerr
  bool showStatus = true;        // status texts, prefixed with statusPrefix
  std::string statusPrefix = "status: ";
  bool yesNoAnswer = true;
};

class ConsoleHost : public Host {
 public:
  explicit ConsoleHost(ConsoleHostOptions options = {});

  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;

  bool AskYesNo(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetWaitCursor(bool) override {}
  void SetScriptButtonsEnabled(bool) override {}
  void SetConfigMenuVisible(bool) override {}

  ConsoleHostOptions& Options() { return options_; }

 protected:
  void ShowMessageBox(const std::string& text) override;
  void WaitForWork(uint64_t untilMs) override;

 private:
  std::ostream& Out();
  ConsoleHostOptions options_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace zarnik
