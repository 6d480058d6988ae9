// The start-up sequence both front ends share: what the main window does when it is
// first shown (FormShow), automatic mode and its end (JustUploadTimerTimer), and the
// close query.
//
// How a front end uses this: make a ShellCore on the Host, the port (after
// SetUpComPort1 for a TComPort) and the main window's ShellView; set the channel's
// LinkMode from the board scan (kLinkRs232 when there are no boards) and, for the
// PCI link, Startup::ConnectToBoard. Then:
//   - the desktop program calls FormShow from the main window's first show,
//     FormCloseQuery from its close event (refuse the close when it answers false),
//     ExitMenuClick from File > Exit, and the Discovery handlers from the RS232
//     Config menus; JustUploadTimer is a Host timer and ends the process through
//     ShellView::EndProcess;
//   - zarnik-cli calls ApplySettings and ProbeComPorts (or Discovery.check_com for a
//     port named on its command line), then runs its script on the Engine.
//
// Automatic mode ends the process with 0 only when the script read to the end, was
// not stopped and showed no error message (the rule zarnik-cli's exit status
// follows); otherwise, and when no port was open for it, with 1.
//
// Threading: window thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/settings.h"
#include "link/com_discovery.h"
#include "link/command_channel.h"
#include "link/pci_board_port.h"
#include "pci/pci_link.h"
#include "platform/host.h"
#include "platform/shell_view.h"
#include "script/progress_model.h"
#include "script/script_engine.h"
#include "serial/port_contract.h"

namespace zarnik {

class TComPort;

inline constexpr const char* kVersionText = "Version : 1.06";
inline constexpr uint32_t kJustUploadTimerMs = 1;

namespace msg {
inline constexpr const char* kComFailedExiting =
    "Error!! COM port communication failed. Please check RS232 connection/INI settings. Exiting "
    "application";
inline constexpr const char* kUploadingFiles = "Uploading file(s). Please wait....";
inline constexpr const char* kConfirmExitCaption = "Loader GUI : Confirm Exit";
inline constexpr const char* kConfirmExit =
    "File upload in progress.\rAre you sure you want to cancel upload and exit the application?";
}  // namespace msg

// The terminal colours of the Terminal menu and of settings positions 21 and 22,
// as 0x00BBGGRR.
inline constexpr uint32_t kColourBlack = 0x00000000;
inline constexpr uint32_t kColourRed = 0x000000FF;
inline constexpr uint32_t kColourGreen = 0x00008000;
inline constexpr uint32_t kColourBlue = 0x00FF0000;
inline constexpr uint32_t kColourWhite = 0x00FFFFFF;
inline constexpr uint32_t kColourSilver = 0x00C0C0C0;
inline constexpr uint32_t kDefaultBackgroundColour = kColourBlack;
inline constexpr uint32_t kDefaultTextColour = kColourSilver;
uint32_t BackgroundColourValue(TerminalColour c);
uint32_t TextColourValue(TerminalColour c);

// ComPort1 as the main window defines it: COM 1, 38400 baud, no automatic open,
// RTS/CTS flow control, BufferFull 2000, BufferResume 409.
void SetUpComPort1(TComPort& port);

class Startup {
 public:
  Startup(Host& host, ScriptEngine& engine, ComDiscovery& discovery, ShellView& view);
  ~Startup();
  Startup(const Startup&) = delete;
  Startup& operator=(const Startup&) = delete;

  // The main window's first show: version label, settings, probes (or the PCI
  // board), status lights, splash hidden, then automatic mode or the terminal's focus.
  void FormShow();

  // Applies what read_defaults found: the port's line settings and ComBaudLabel,
  // DefaultComPort, the prompt characters, the loader-mode command, the load word,
  // and the terminal's visibility and colours. Keeps the settings in Settings.
  void ApplySettings(const LoaderDefaults& settings);

  // DefaultComPort, then COM1 and COM2 (only COM1 and COM2 when there is no
  // default); the number of the port that answered, 0 when none did.
  int ProbeComPorts();

  // Hides the main window and ends the process with AutomaticExitStatus.
  void JustUploadTimerTimer();
  // True when the window may close. During a transfer it asks first; Yes ends the
  // process at once. While a script runs outside a file's data it stops the script
  // and refuses: the window stays (disabled) until the script has returned. In
  // automatic mode any close ends the process with AutomaticExitStatus.
  bool FormCloseQuery();
  // After an operator's run: closes the window when a close was asked for meanwhile
  // (automatic mode ends through JustUploadTimer instead).
  void ScriptReturned();
  void ExitMenuClick();

  // Where read_defaults looks (the bare name: the current folder).
  std::string SettingsPath = kSettingsFileName;
  // The PCI link's start: connect to the board as PCI Board(s) > Connected does.
  // Called by FormShow when LinkMode is kLinkPci.
  std::function<void()> ConnectToBoard;

  LoaderDefaults Settings;
  TimerId JustUploadTimer;
  // How automatic mode ends the process (set by FormShow in automatic mode).
  int AutomaticExitStatus = 1;
  // The status of an ordinary end: 0, or AutomaticExitStatus in automatic mode.
  int ExitStatus() const { return Settings.AutomaticMode ? AutomaticExitStatus : 0; }
  // A close was asked for while a script ran.
  bool CloseRequested = false;

 private:
  void RunAutomaticMode();

  Host& host_;
  ScriptEngine& engine_;
  ComDiscovery& discovery_;
  ShellView& view_;
};

// A main window that shows nothing, for a front end without one (zarnik-cli).
class HeadlessShellView : public ShellView, private TerminalView {
 public:
  void SetVersionLabel(const std::string&) override {}
  void SetComNumberLabel(const std::string&) override {}
  void SetComBaudLabel(const std::string&) override {}
  // The entry as the stored window definition has it: enabled and unticked.
  bool PciConnectEnabled() const override { return pciEnabled_; }
  void SetPciConnectEnabled(bool enabled) override { pciEnabled_ = enabled; }
  bool PciConnectChecked() const override { return pciChecked_; }
  void SetPciConnectChecked(bool checked) override { pciChecked_ = checked; }
  void SetRs232GroupVisible(bool) override {}
  void StartStatusLights() override {}
  TerminalView& Terminal() override { return *this; }
  bool TerminalAreaShown() const override { return true; }
  void VisibleMenuClick() override {}
  void HideSplash() override {}
  void SetMainWindowEnabled(bool) override {}
  void HideMainWindow() override {}
  void CloseMainWindow() override {}
  void EndProcess(int) override {}
  bool AskYesNo(const std::string&, const std::string&) override { return true; }

 private:
  void SetFocus() override {}
  void SetVisible(bool) override {}
  void SetBackgroundColour(uint32_t) override {}
  void SetTextColour(uint32_t) override {}
  TerminalFont GetFont() const override { return {}; }
  void SetFont(const TerminalFont&) override {}
  bool pciEnabled_ = true;
  bool pciChecked_ = false;
};

// The main window's working parts in the order they depend on one another.
//
// The PCI link: a front end calls ScanPciBoards once where the main window is
// built (before FormShow); FormShow then connects the board when the scan chose
// the PCI link (Start.ConnectToBoard is Pci.PCIConnectClick). Without a scan the
// link is the serial line. The operator's pick of a script goes to RunScript.
struct ShellCore {
  ShellCore(Host& host, PortContract& port, ShellView& view,
            ComDiscovery::PortAvailability available = nullptr);
  ProgressModel Progress;
  CommandChannel Channel;
  ScriptEngine Engine;
  ComDiscovery Discovery;
  Startup Start;
  PciLink Pci;
  PciBoardPort Board;

  // The board scan over this driver (kept for the life of the program); the channel
  // then talks to the selected board whenever the link is PCI.
  void ScanPciBoards(std::unique_ptr<PciDriver> driver, std::ostream& diagnostics = std::cout);
  // Makes the channel talk to the board carrying boardId, at deviceIndex.
  void SelectBoard(int boardId, int deviceIndex);
  // The operator's pick of a script (without the dialog): one reading on the
  // RS-232 link, one per board in ascending ID order on the PCI link, then the
  // outcome box.
  UploadOutcome RunScript(const std::string& path);
};

}  // namespace zarnik
