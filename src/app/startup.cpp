#include "app/startup.h"

#include <iostream>

#include "script/run_outcome.h"
#include "serial/com_port.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

uint32_t BackgroundColourValue(TerminalColour c) {
  switch (c) {
    case tcBlack:
      return kColourBlack;
    case tcRed:
      return kColourRed;
    case tcGreen:
      return kColourGreen;
    case tcBlue:
      return kColourBlue;
    case tcWhite:
      return kColourWhite;
    case tcDefault:
      break;
  }
  return kDefaultBackgroundColour;
}

uint32_t TextColourValue(TerminalColour c) {
  return c == tcDefault ? kDefaultTextColour : BackgroundColourValue(c);
}

void SetUpComPort1(TComPort& port) {
  port.SetAutoOpen(false);
  port.SetComNumber(1);
  port.SetBaud(38400);
  port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  port.SetBufferFull(2000);
  port.SetBufferResume(409);
}

Startup::Startup(Host& host, ScriptEngine& engine, ComDiscovery& discovery, ShellView& view)
    : host_(host), engine_(engine), discovery_(discovery), view_(view) {
  JustUploadTimer = host_.CreateTimer([this] { JustUploadTimerTimer(); });
  host_.SetTimerInterval(JustUploadTimer, kJustUploadTimerMs);
}

Startup::~Startup() {
  host_.DestroyTimer(JustUploadTimer);
}

void Startup::ApplySettings(const LoaderDefaults& settings) {
  Settings = settings;
  CommandChannel& ch = engine_.Channel();
  PortContract& port = ch.ComPort1();
  try {
    ApplyPortSettings(settings, port);
  } catch (const ESerialException& e) {
    // Only an open port can refuse a line setting; say so as the toolkit would.
    host_.ShowMessage(e.what());
  }
  view_.SetComBaudLabel(std::to_string(port.GetBaud()));
  discovery_.DefaultComPort = settings.DefaultComPort;
  ch.PromptChar1 = settings.PromptChar1;
  ch.PromptChar2 = settings.PromptChar2;
  ch.LoaderModeCmd = settings.LoaderModeCmd;
  engine_.LoadCmdWord = settings.LoadCmdWord;
  // Through the Terminal menu's entries, as the operator would choose them.
  if (settings.TerminalVisible && *settings.TerminalVisible != view_.TerminalAreaShown())
    view_.VisibleMenuClick();
  if (settings.TerminalBackground)
    view_.Terminal().SetBackgroundColour(BackgroundColourValue(*settings.TerminalBackground));
  if (settings.TerminalTextColour)
    view_.Terminal().SetTextColour(TextColourValue(*settings.TerminalTextColour));
}

int Startup::ProbeComPorts() {
  const int preferred = discovery_.DefaultComPort;
  if (preferred != 0 && discovery_.check_com(preferred)) return preferred;
  if (discovery_.process_com() == 1) return engine_.Channel().ComPort1().GetComNumber();
  return 0;
}

void Startup::FormShow() {
  view_.SetVersionLabel(kVersionText);
  ApplySettings(read_defaults(SettingsPath, host_, Settings));
  // Values the settings file could not hold are named on stderr, as zarnik-cli does.
  PrintRefused(Settings, std::cerr);
  CommandChannel& ch = engine_.Channel();
  // No board scan ran: there are no boards, so the link is the serial line.
  if (ch.LinkMode == kLinkUndetermined) ch.LinkMode = kLinkRs232;
  if (ch.LinkMode == kLinkRs232) {
    const bool answered = ProbeComPorts() != 0;
    if (!answered && !Settings.AutomaticMode) discovery_.open_com();
    view_.StartStatusLights();
  } else if (ConnectToBoard) {
    ConnectToBoard();
  }
  view_.HideSplash();
  if (Settings.AutomaticMode)
    RunAutomaticMode();
  else if (ch.LinkMode == kLinkRs232)
    view_.Terminal().SetFocus();
}

void Startup::RunAutomaticMode() {
  AutomaticExitStatus = 1;
  if (!engine_.Channel().ComPort1().GetOpen()) {
    host_.ShowMessage(msg::kComFailedExiting);
  } else {
    host_.SetStatusText(msg::kUploadingFiles);
    host_.ProcessMessages();
    view_.SetMainWindowEnabled(false);
    engine_.ScriptFileName = Settings.AutoScriptPath;
    RunOutcome run(host_);
    const bool read = engine_.read_ini();
    AutomaticExitStatus = run.Succeeded(read, engine_.Progress().Cancelled) ? 0 : 1;
    view_.SetMainWindowEnabled(true);
    host_.SetStatusText(msg::kStatusBlank);
    host_.ProcessMessages();
  }
  host_.SetTimerEnabled(JustUploadTimer, true);
}

void Startup::JustUploadTimerTimer() {
  host_.SetTimerEnabled(JustUploadTimer, false);
  view_.HideMainWindow();
  view_.EndProcess(AutomaticExitStatus);
}

bool Startup::FormCloseQuery() {
  if (engine_.UploadIdle) {
    // Ends a reply wait in progress, so the run can unwind.
    engine_.Channel().ReplyPending = false;
    if (engine_.Reading()) {
      // A script left running without its window would go on driving the unit
      // unseen: it stops as Stop stops it, and the window goes once it has returned.
      CloseRequested = true;
      engine_.Progress().Stop();
      view_.SetMainWindowEnabled(false);
      return false;
    }
    if (Settings.AutomaticMode) {
      // Whatever ends automatic mode ends it by the run's outcome.
      view_.HideMainWindow();
      view_.EndProcess(AutomaticExitStatus);
    }
    return true;
  }
  if (!view_.AskYesNo(msg::kConfirmExitCaption, msg::kConfirmExit)) return false;
  if (!Settings.AutomaticMode) view_.HideMainWindow();
  // A run cut off in the middle of a file never succeeded; automatic mode says so.
  view_.EndProcess(Settings.AutomaticMode ? 1 : 0);
  return true;
}

void Startup::ScriptReturned() {
  if (!CloseRequested || Settings.AutomaticMode) return;
  CloseRequested = false;
  view_.CloseMainWindow();
}

void Startup::ExitMenuClick() {
  view_.CloseMainWindow();
}

ShellCore::ShellCore(Host& host, PortContract& port, ShellView& view,
                     ComDiscovery::PortAvailability available)
    : Progress(host),
      Channel(host, port, Progress.Cancelled),
      Engine(host, Channel, Progress),
      Discovery(host, Channel, view, std::move(available)),
      Start(host, Engine, Discovery, view),
      Pci(host, view, port, Channel.LinkMode) {
  Start.ConnectToBoard = [this] { Pci.PCIConnectClick(); };
}

void ShellCore::ScanPciBoards(std::unique_ptr<PciDriver> driver, std::ostream& diagnostics) {
  Pci.ScanBoards(std::move(driver), diagnostics);
  Board.Select(Pci.SelectedPciBoard());
  Channel.SetBoard(&Board);
}

void ShellCore::SelectBoard(int boardId, int deviceIndex) {
  Pci.SelectedBoard = boardId;
  const bool known = Pci.Devices() && deviceIndex >= 0 && deviceIndex < kPciDevices;
  Board.Select(known ? &Pci.Devices()->PciBoards[deviceIndex] : nullptr);
  Channel.SetBoard(&Board);
}

UploadOutcome ShellCore::RunScript(const std::string& path) {
  return Engine.RunScript(path, Pci.BoardIndexById,
                          [this](int id, int index) { SelectBoard(id, index); });
}

}  // namespace zarnik
