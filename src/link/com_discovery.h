// ComDiscovery: finding the COM port on which the unit answers, and the operator's
// choices in the RS232 Config > COM Port and Baud menus.
//
// How a front end uses this: build it on the command channel (which holds the port,
// the prompt characters, Probing and LinkMode), the Host and the main window's
// ShellView; set DefaultComPort from the settings file; bind the menu entries to
// the handlers below (the Search entry to SearchAllMenuClick, Baud > 9600 to
// N96001Click, ...). Start-up (app/startup.h) runs the same probes when the main
// window is first shown; zarnik-cli runs them before its script.
//
// The unit is recognised by its prompt: a carriage return sent on a port must be
// answered with PromptChar1 or, after that wait has run out, PromptChar2. Each wait
// lasts 65 ticks (Probing is set), so a silent port costs about 7.2 s. A port whose
// availability test fails is skipped silently.
//
// Threading: window thread only. The prompt waits service the message queue, so a
// menu entry can run in the middle of a probe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/command_channel.h"
#include "platform/host.h"
#include "platform/shell_view.h"

namespace zarnik {

namespace msg {
inline constexpr const char* kComPortNote = "Note: COM Port #";
inline constexpr const char* kNotRespondingOrUsed =
    " is not responding/being used by other applications.";
inline constexpr const char* kNotResponding = " is not responding.";
inline constexpr const char* kEstablished = "Established communication on COM ";
inline constexpr const char* kUnableNoDefault =
    "Unable to open Hardware through COM ports. Select new COM port before proceeding";
inline constexpr const char* kErrorOpeningDefault =
    "Error opening Hardware via COM ports. Select new COM port/check RS232 connection before "
    "proceeding";
inline constexpr const char* kUnableThru =
    "Unable to open Hardware thru COM ports. Select new COM port/check RS232 connection before "
    "proceeding";
inline constexpr const char* kLastGoodPort = "Note: Last successful COM port used is: ";
inline constexpr const char* kLastGoodNever = "Note: Last successful COM port used is: Never";
inline constexpr const char* kCheckingCom = "Checking COM ";
inline constexpr const char* kPleaseWait = ".... Please wait.... ";
inline constexpr const char* kCannotEstablish = "Error! Cannot establish communication using COM ";
inline constexpr const char* kCheckRs232 = ". Please check RS232 connection";
inline constexpr const char* kNoComLabel = "None";
}  // namespace msg

class ComDiscovery {
 public:
  // Whether COM port n exists (also when another program holds it).
  using PortAvailability = std::function<bool(uint16_t n)>;

  // available: the serial layer's IsPortAvailable unless given.
  ComDiscovery(Host& host, CommandChannel& channel, ShellView& view,
               PortAvailability available = nullptr);
  ComDiscovery(const ComDiscovery&) = delete;
  ComDiscovery& operator=(const ComDiscovery&) = delete;

  // Probes port n; true when the unit answered, and the port is then left open.
  bool check_com(int n);
  // COM1, then COM2: 1 when one answered, -1 when neither did.
  int process_com();
  // The fallback when no port answered: opens DefaultComPort without a probe, or
  // disables the script buttons when there is none.
  void open_com();

  // ---- RS232 Config > COM Port ----
  void NoneMenuClick();
  void COM1MenuClick();
  void COM2MenuClick();
  void SearchAllMenuClick();

  // ---- The device under the open port has gone ----
  // Closes the port (its lamps go off with it), names the device in the status bar
  // and leaves the window as "None" does: no port, script buttons off, until a COM
  // pick. Nothing happens while the line is there. Not for use during a run: the run
  // ends on the loss by itself, and its front end calls this afterwards.
  void LineLost();

  // ---- RS232 Config > Baud (the port is not probed again) ----
  void N12001Click() { SetBaudFromMenu(1200); }
  void N24001Click() { SetBaudFromMenu(2400); }
  void N96001Click() { SetBaudFromMenu(9600); }
  void N192001Click() { SetBaudFromMenu(19200); }
  void N384001Click() { SetBaudFromMenu(38400); }
  void N576001Click() { SetBaudFromMenu(57600); }
  void SetBaudFromMenu(int32_t baud);

  // The last port on which check_com saw the prompt (0: none yet); memory only.
  int LastGoodComPort = 0;
  // From the settings file; 0 for none.
  int DefaultComPort = 0;

  // The script buttons, always switched together.
  void disable_btns() { host_.SetScriptButtonsEnabled(false); }
  void enable_btns() { host_.SetScriptButtonsEnabled(true); }

 private:
  // COM1 and COM2 entries share everything but the number.
  void ComMenuClick(int n);
  // Leaves the PCI link for RS-232 when the Connected entry is enabled.
  void LeavePciLink();
  bool ProbePrompts();
  void ShowComNumber();
  void CloseQuietly();

  Host& host_;
  CommandChannel& ch_;
  ShellView& view_;
  PortAvailability available_;
};

}  // namespace zarnik
