// A row of COM ports on virtual time, each with its own simulated unit, behind one
// port object, as ComPort1 sees the machine's ports: setting ComNumber picks which
// line the port talks to. Numbers without a line do not exist. Also a ShellView
// that records what the main window was asked to show.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_port.h"
#include "link/com_discovery.h"
#include "platform/shell_view.h"

namespace zarnik::testing {

class ComBank : public PortContract {
 public:
  explicit ComBank(VirtualHost& host) : host_(host) {}

  // Adds COM n with a unit of these options (absent: a line nobody answers on).
  sim::SimUnit& AddLine(uint16_t n, sim::SimUnitOptions options = {}) {
    auto& line = lines_[n];
    line.unit = std::make_unique<sim::SimUnit>(options);
    line.port = std::make_unique<FakePort>(host_, *line.unit);
    line.port->SetComNumber(n);
    line.port->OnTriggerAvail = [this](PortContract&, uint16_t count) {
      OnTriggerAvail(*this, count);
    };
    return *line.unit;
  }
  bool Exists(uint16_t n) const { return lines_.count(n) != 0; }
  FakePort& Line(uint16_t n) { return *lines_.at(n).port; }
  sim::SimUnit& Unit(uint16_t n) { return *lines_.at(n).unit; }
  ComDiscovery::PortAvailability Availability() {
    return [this](uint16_t n) { return Exists(n); };
  }

  void SetComNumber(uint16_t n) override {
    const bool wasOpen = open_;
    if (wasOpen) SetOpen(false);
    number_ = n;
    if (wasOpen) SetOpen(true);
  }
  uint16_t GetComNumber() const override { return number_; }
  void SetBaud(int32_t baud) override {
    baud_ = baud;
    if (auto* p = Current()) p->SetBaud(baud);
  }
  int32_t GetBaud() const override { return baud_; }
  void SetParity(TParity p) override { parity_ = p; }
  TParity GetParity() const override { return parity_; }
  void SetDataBits(uint16_t b) override { dataBits_ = b; }
  uint16_t GetDataBits() const override { return dataBits_; }
  void SetStopBits(uint16_t b) override { stopBits_ = b; }
  uint16_t GetStopBits() const override { return stopBits_; }

  // A number without a line fails to open as a missing device does.
  void SetOpen(bool open) override {
    ++openCalls;
    if (!open) {
      if (auto* p = Current()) p->SetOpen(false);
      open_ = false;
      return;
    }
    FakePort* p = Current();
    if (!p) throw EBadId();
    p->SetBaud(baud_);
    p->SetOpen(true);
    open_ = true;
  }
  bool GetOpen() const override { return open_ && Current() && Current()->GetOpen(); }

  void PutChar(char c) override { Use().PutChar(c); }
  void PutString(std::string_view s) override { Use().PutString(s); }
  void PutBlock(const void* buf, uint16_t len) override { Use().PutBlock(buf, len); }
  uint16_t GetOutBuffFree() override { return GetOpen() ? Use().GetOutBuffFree() : 4096; }
  uint16_t GetOutBuffUsed() override { return GetOpen() ? Use().GetOutBuffUsed() : 0; }
  bool GetCTS() override { return GetOpen() && Use().GetCTS(); }
  void FlushInBuffer() override { Use().FlushInBuffer(); }
  void FlushOutBuffer() override { Use().FlushOutBuffer(); }
  void GetBlock(void* buf, uint16_t len) override { Use().GetBlock(buf, len); }
  void CheckLine() override {
    if (GetOpen()) Use().CheckLine();
  }
  bool WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                     bool ignoreCase) override {
    return Use().WaitForString(text, timeoutTicks, yield, ignoreCase);
  }
  void EndWait() override {
    if (FakePort* port = Current()) port->EndWait();
  }

  // Everything sent on line n.
  std::string SentOn(uint16_t n) { return Exists(n) ? Line(n).SentText() : ""; }
  int openCalls = 0;

 private:
  struct LineOf {
    std::unique_ptr<sim::SimUnit> unit;
    std::unique_ptr<FakePort> port;
  };
  FakePort* Current() const {
    auto it = lines_.find(number_);
    return it == lines_.end() ? nullptr : it->second.port.get();
  }
  FakePort& Use() {
    FakePort* p = open_ ? Current() : nullptr;
    if (!p) throw ECommNotOpen();
    return *p;
  }

  VirtualHost& host_;
  std::map<uint16_t, LineOf> lines_;
  uint16_t number_ = 1;
  int32_t baud_ = 38400;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8, stopBits_ = 1;
  bool open_ = false;
};

// Records what the main window was asked to show.
class FakeShellView : public ShellView, public TerminalView {
 public:
  void SetVersionLabel(const std::string& text) override { versionLabel = text; }
  void SetComNumberLabel(const std::string& text) override { comNumberLabel = text; }
  void SetComBaudLabel(const std::string& text) override { comBaudLabel = text; }
  bool PciConnectEnabled() const override { return pciEnabled; }
  void SetPciConnectEnabled(bool enabled) override { pciEnabled = enabled; }
  bool PciConnectChecked() const override { return pciChecked; }
  void SetPciConnectChecked(bool checked) override { pciChecked = checked; }
  void SetRs232GroupVisible(bool visible) override { rs232GroupVisible = visible; }
  void StartStatusLights() override { ++lightsStarted; }
  TerminalView& Terminal() override { return *this; }
  bool TerminalAreaShown() const override { return terminalAreaShown; }
  void VisibleMenuClick() override {
    terminalAreaShown = !terminalAreaShown;
    ++visibleClicks;
  }
  void HideSplash() override { splashHidden = true; }
  void SetMainWindowEnabled(bool enabled) override { windowEnabledChanges.push_back(enabled); }
  void HideMainWindow() override { mainWindowHidden = true; }
  void CloseMainWindow() override { ++closeRequests; }
  void EndProcess(int status) override { exitStatuses.push_back(status); }
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    questions.push_back(caption + "|" + text);
    bool answer = yesNoAnswers.empty() ? true : yesNoAnswers.front();
    if (!yesNoAnswers.empty()) yesNoAnswers.erase(yesNoAnswers.begin());
    return answer;
  }

  void SetFocus() override { ++focusCalls; }
  void SetVisible(bool visible) override { paneVisible = visible; }
  void SetBackgroundColour(uint32_t colour) override { background = colour; }
  void SetTextColour(uint32_t colour) override { textColour = colour; }
  TerminalFont GetFont() const override { return font; }
  void SetFont(const TerminalFont& f) override { font = f; }
  void ClearAll() override { ++paneClears; }

  std::string versionLabel = "Version : ";
  std::string comNumberLabel = "None";
  std::string comBaudLabel = "38400";
  bool pciEnabled = false;
  bool pciChecked = false;
  bool rs232GroupVisible = true;
  int lightsStarted = 0;
  bool terminalAreaShown = true;
  int visibleClicks = 0;
  bool splashHidden = false;
  std::vector<bool> windowEnabledChanges;
  bool mainWindowHidden = false;
  int closeRequests = 0;
  std::vector<int> exitStatuses;
  std::vector<std::string> questions;
  std::vector<bool> yesNoAnswers;
  int focusCalls = 0;
  bool paneVisible = true;
  int paneClears = 0;
  uint32_t background = 0;
  uint32_t textColour = 0xC0C0C0;
  TerminalFont font;
};

}  // namespace zarnik::testing
