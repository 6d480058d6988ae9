#include "link/com_discovery.h"

#include "serial/com_port.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

namespace {

// The hourglass for the length of a scope, however it is left.
class WaitCursor {
 public:
  explicit WaitCursor(Host& host) : host_(host) { host_.SetWaitCursor(true); }
  ~WaitCursor() { host_.SetWaitCursor(false); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  Host& host_;
};

}  // namespace

ComDiscovery::ComDiscovery(Host& host, CommandChannel& channel, ShellView& view,
                           PortAvailability available)
    : host_(host), ch_(channel), view_(view), available_(std::move(available)) {
  if (!available_) available_ = [](uint16_t n) { return IsPortAvailable(n); };
}

void ComDiscovery::ShowComNumber() {
  view_.SetComNumberLabel(std::to_string(ch_.ComPort1().GetComNumber()));
}

void ComDiscovery::CloseQuietly() {
  try {
    ch_.ComPort1().SetOpen(false);
  } catch (const ESerialException&) {
    // Closing a port that failed to open has nothing left to report.
  }
}

// Both prompt characters in turn; the port is closed when neither comes.
bool ComDiscovery::ProbePrompts() {
  ch_.ExpectedPrompt = ch_.PromptChar1;
  if (ch_.SendCOMCmd_GetPrompt("\r")) return true;
  ch_.ExpectedPrompt = ch_.PromptChar2;
  if (ch_.SendCOMCmd_GetPrompt("\r")) return true;
  ch_.ComPort1().SetOpen(false);
  return false;
}

bool ComDiscovery::check_com(int n) {
  if (n <= 0 || n > UINT16_MAX || !available_(static_cast<uint16_t>(n))) return false;
  PortContract& port = ch_.ComPort1();
  const std::string number = std::to_string(n);
  bool result = true;
  try {
    port.SetComNumber(static_cast<uint16_t>(n));
    if (!port.GetOpen()) port.SetOpen(true);
  } catch (const ESerialException&) {
    host_.ShowMessage(msg::kComPortNote + number + msg::kNotRespondingOrUsed);
    CloseQuietly();
    result = false;
  }
  ch_.Probing = true;
  if (result) {
    try {
      result = ProbePrompts();
    } catch (const ESerialException& e) {
      host_.ShowMessage(msg::kComPortNote + number + msg::kNotResponding);
      // A line that went away under the probe is not left open half dead.
      if (e.ErrorCode() == deNotConnected) {
        host_.SetStatusText(msg::kSerialPortFailure + std::string(e.what()));
        CloseQuietly();
      }
      result = false;
    }
  }
  ch_.Probing = false;
  if (result) {
    host_.SetStatusText(msg::kEstablished + number);
    ShowComNumber();
    LastGoodComPort = port.GetComNumber();
    view_.SetComBaudLabel(std::to_string(port.GetBaud()));
  }
  return result;
}

int ComDiscovery::process_com() {
  WaitCursor hourglass(host_);
  if (check_com(1)) return 1;
  if (check_com(2)) return 1;
  return -1;
}

void ComDiscovery::open_com() {
  if (DefaultComPort == 0) {
    host_.SetStatusText(msg::kUnableNoDefault);
    disable_btns();
    return;
  }
  host_.SetStatusText(msg::kErrorOpeningDefault);
  PortContract& port = ch_.ComPort1();
  try {
    port.SetComNumber(static_cast<uint16_t>(DefaultComPort));
    if (!port.GetOpen()) port.SetOpen(true);
  } catch (const ESerialException&) {
    CloseQuietly();
  }
  if (port.GetOpen()) ShowComNumber();
}

// ---- Menus ----

void ComDiscovery::NoneMenuClick() {
  if (LastGoodComPort <= 0)
    host_.SetStatusText(msg::kLastGoodNever);
  else
    host_.SetStatusText(msg::kLastGoodPort + std::to_string(LastGoodComPort));
  CloseQuietly();
  ch_.ComPort1().SetComNumber(0);
  view_.SetComNumberLabel(msg::kNoComLabel);
  disable_btns();
}

void ComDiscovery::LineLost() {
  try {
    ch_.ComPort1().CheckLine();
    return;
  } catch (const ESerialException& e) {
    host_.SetStatusText(msg::kSerialPortFailure + std::string(e.what()));
  }
  CloseQuietly();
  view_.SetComNumberLabel(msg::kNoComLabel);
  disable_btns();
}

void ComDiscovery::LeavePciLink() {
  if (!view_.PciConnectEnabled()) return;
  view_.SetPciConnectChecked(false);
  // Shown again for every way back to RS-232, not only COM1: the operator chose a
  // serial port and should see its terminal and lines.
  view_.Terminal().SetVisible(true);
  view_.SetRs232GroupVisible(true);
  ch_.LinkMode = kLinkRs232;
}

void ComDiscovery::ComMenuClick(int n) {
  WaitCursor hourglass(host_);
  const std::string number = std::to_string(n);
  host_.SetStatusText(msg::kCheckingCom + number + msg::kPleaseWait);
  LeavePciLink();
  if (check_com(n)) {
    host_.SetStatusText(msg::kEstablished + number);
  } else {
    host_.SetStatusText(msg::kUnableThru);
    host_.ShowMessage(msg::kCannotEstablish + number + msg::kCheckRs232);
  }
  view_.StartStatusLights();
  enable_btns();
  ShowComNumber();
}

void ComDiscovery::COM1MenuClick() {
  ComMenuClick(1);
}
void ComDiscovery::COM2MenuClick() {
  ComMenuClick(2);
}

void ComDiscovery::SearchAllMenuClick() {
  LeavePciLink();
  if (process_com() == -1) {
    open_com();
  } else {
    view_.StartStatusLights();
    enable_btns();
  }
}

void ComDiscovery::SetBaudFromMenu(int32_t baud) {
  PortContract& port = ch_.ComPort1();
  try {
    port.SetBaud(baud);
  } catch (const ESerialException& e) {
    // As the toolkit's exception report would show it.
    host_.ShowMessage(e.what());
  }
  view_.SetComBaudLabel(std::to_string(port.GetBaud()));
}

}  // namespace zarnik
