// zarnik-cli: runs a loader script against a unit without a window, for batch and
// production use. One run, like the operator's pick of a script; the exit status
// tells the outcome (0 complete with no error shown, 1 unsuccessful or an error
// shown, 2 nothing could be started).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include "app/settings.h"
#include "app/startup.h"
#include "cli/check_command.h"
#include "cli/cli_options.h"
#include "cli/cli_progress.h"
#include "cli/multi_run.h"
#include "cli/ports_command.h"
#include "cli/run_report.h"
#include "cli/simulated_unit.h"
#include "cli/tapped_device.h"
#include "cli/transcript.h"
#include "link/command_channel.h"
#include "pci/pci_driver.h"
#include "platform/console_host.h"
#include "script/run_outcome.h"
#include "script/script_engine.h"
#include "serial/com_port.h"
#include "zarnik_version.h"

namespace zarnik {
namespace {

constexpr int kExitComplete = 0;
constexpr int kExitUnsuccessful = 1;
constexpr int kExitCannotStart = 2;

// The console with a filter for --quiet and a bar that must be broken before a line.
class CliHost : public ConsoleHost {
 public:
  CliHost(bool quiet, CliProgress* progress)
      : ConsoleHost({&std::cerr, !quiet, "status: ", true}), quiet_(quiet), progress_(progress) {}
  void SetStatusText(const std::string& text) override {
    if (progress_ && !quiet_) progress_->BreakLine();
    ConsoleHost::SetStatusText(text);
  }
  void SetProgress(CliProgress* progress) { progress_ = progress; }

 protected:
  void ShowMessageBox(const std::string& text) override {
    if (quiet_ && !IsError(text)) return;
    if (progress_) progress_->BreakLine();
    ConsoleHost::ShowMessageBox(text);
  }

 private:
  static bool IsError(const std::string& text) {
    return RunOutcome::IsErrorMessage(text) || text == msg::kUploadUnsuccessful;
  }
  bool quiet_;
  CliProgress* progress_;
};

// Ctrl-C is the Stop button. The handler only writes to a pipe; a watcher thread
// posts the stop to the window thread, where the progress model lives. A second
// Ctrl-C ends the process at once.
std::atomic<int> g_interrupts{0};
int g_stopPipe[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) >= 1) _exit(130);
  char c = 's';
  (void)!write(g_stopPipe[1], &c, 1);
}

class StopButton : public MessageTarget {
 public:
  static constexpr uint32_t kStopMsg = 0x7E60;
  StopButton(Host& host, ProgressModel& progress) : host_(host), progress_(progress) {
    host_.AddTarget(this);
    if (pipe(g_stopPipe) != 0) return;
    watcher_ = std::thread([this] {
      char c;
      while (read(g_stopPipe[0], &c, 1) == 1) {
        if (c == 'q') return;
        host_.Post(this, kStopMsg);
      }
    });
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
  }
  ~StopButton() override {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    char c = 'q';
    if (watcher_.joinable()) {
      (void)!write(g_stopPipe[1], &c, 1);
      watcher_.join();
    }
    host_.RemoveTarget(this);
  }
  intptr_t HandleMessage(uint32_t msg, uintptr_t, intptr_t) override {
    if (msg == kStopMsg) {
      std::cerr << "\nStop requested: the file being sent is finished, then the script ends. "
                   "Ctrl-C again ends at once."
                << std::endl;
      progress_.Stop();
    }
    return 0;
  }

 private:
  Host& host_;
  ProgressModel& progress_;
  std::thread watcher_;
};

// Why the run could not start, for its record.
std::string g_failText;

int Fail(const std::string& text) {
  std::cerr << "zarnik-cli: " << text << std::endl;
  g_failText = text;
  return kExitCannotStart;
}

// What watches a run besides its bar: the record for --report and, for a unit run
// among several, the events to the zarnik-cli that started it.
struct RunWatchers {
  UnitRecorder& record;
  UnitEvents* events = nullptr;
  void Attach(ProgressModel& progress, Host& host, const ScriptEngine& engine) {
    record.Watch(host, &engine);
    progress.AddObserver(&record);
    if (events) progress.AddObserver(events);
  }
  void Detach(ProgressModel& progress) {
    record.Unwatch();
    progress.RemoveObserver(&record);
    if (events) progress.RemoveObserver(events);
  }
};

std::string DeviceOf(const TComPort& port) {
  return port.GetDevicePath().empty() ? ComDevicePath(port.GetComNumber()) : port.GetDevicePath();
}

// What the start-up probes will try, so a wait of several seconds per silent port
// is not a mystery.
std::string ProbePlan(int defaultPort) {
  std::string plan = "looking for the unit on ";
  auto port = [](int n) { return "COM" + std::to_string(n) + " (" + ComDevicePath(n) + ")"; };
  if (defaultPort > 0) plan += port(defaultPort) + ", then ";
  return plan + port(1) + " and " + port(2) + "; a silent port takes about 7 s";
}

// Opens the port on which the script will run: the named one, probed, or the one the
// start-up probes find, or just the configured one with --no-probe. An error text
// when there is none.
std::optional<std::string> FindUnit(const CliOptions& o, ShellCore& core, TComPort& port,
                                    Host& host) {
  const bool named = !port.GetDevicePath().empty() || o.comNumber;
  if (o.noProbe) {
    try {
      port.SetOpen(true);
    } catch (const ESerialException& e) {
      return "cannot open " + DeviceOf(port) + ": " + e.what();
    }
    return std::nullopt;
  }
  if (named) {
    if (port.GetDevicePath().empty() && !IsPortAvailable(port.GetComNumber()))
      return "cannot open " + DeviceOf(port) + ": no such port";
    if (!core.Discovery.check_com(port.GetComNumber()))
      return "no unit answered on " + DeviceOf(port) +
             " (no prompt character in reply to a carriage return)";
    host.SetStatusText("unit answered on " + DeviceOf(port));
    return std::nullopt;
  }
  host.SetStatusText(ProbePlan(core.Discovery.DefaultComPort));
  if (core.Start.ProbeComPorts() != 0) {
    host.SetStatusText("unit answered on COM " + std::to_string(port.GetComNumber()) + " (" +
                       DeviceOf(port) + ")");
    return std::nullopt;
  }
  core.Discovery.open_com();
  if (port.GetOpen()) return std::nullopt;
  return "no unit answered on COM1 or COM2, and no port of the settings file could be opened "
         "instead (name one with --com or --port)";
}

// The simulated unit answering with the settings file's prompts and loader command.
sim::SimUnitOptions UnitFor(const LoaderDefaults& settings) {
  sim::SimUnitOptions unit;
  unit.monitorPrompt = settings.PromptChar1;
  unit.loaderPrompt = settings.PromptChar2;
  std::string word = settings.LoaderModeCmd;
  if (!word.empty() && word.back() == '\r') word.pop_back();
  unit.loaderModeCmd = word;
  return unit;
}

// --pci: the board scan as the window's, then the script once per board.
int RunPci(const CliOptions& o, CliHost& host, const LoaderDefaults& settings, CliProgress* bar,
           RunWatchers& watchers) {
  // ComPort1 exists as in the window; the PCI link never opens it.
  TComPort port(host);
  SetUpComPort1(port);
  HeadlessShellView view;
  ShellCore core(host, port, view);
  core.Start.ApplySettings(settings);
  const sim::SimUnitOptions unit = UnitFor(settings);
  std::string error;
  auto driver = MakePciDriver(host, error, &unit);
  if (!error.empty()) return Fail(error);
  core.ScanPciBoards(std::move(driver));
  if (!core.Pci.BoardsFound())
    return Fail(
        "no PCI boards found ($ZARNIK_PCI_SIM sets up simulated boards, $ZARNIK_PCI_MAP or "
        "$ZARNIK_PCI_MAP_FILE names real ones)");
  if (core.Channel.LinkMode != kLinkPci)
    return Fail("the PCI link is disabled: a board ID is invalid or used twice");
  core.Start.ConnectToBoard();
  std::string ids;
  for (int id = 0; id < kPciBoardIds; ++id)
    if (core.Pci.BoardIndexById[id] != -1) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
  host.SetStatusText("PCI boards with IDs " + ids);

  ProgressModel& progress = core.Progress;
  if (bar) progress.AddObserver(bar);
  watchers.record.SetPort("PCI", 0);
  watchers.Attach(progress, host, core.Engine);
  UploadOutcome outcome;
  RunOutcome run(host);
  {
    StopButton stop(host, progress);
    outcome = core.Engine.RunScript(o.scriptPath, core.Pci.BoardIndexById, [&](int id, int index) {
      core.SelectBoard(id, index);
      host.SetStatusText("running on PCI board " + std::to_string(id));
    });
  }
  if (bar) progress.RemoveObserver(bar);
  watchers.Detach(progress);
  if (outcome == UploadOutcome::ScriptUnreadable) return kExitCannotStart;
  return run.Succeeded(outcome) ? kExitComplete : kExitUnsuccessful;
}

int Run(const CliOptions& o, RunWatchers& watchers) {
  // Nothing is sent before we know the script can be read.
  if (OpenedFile probe = ScriptEngine::OpenScript(o.scriptPath); !probe)
    return Fail("cannot open script " + o.scriptPath + ": " + probe.reason);
  std::unique_ptr<CliProgress> bar;
  CliHost host(o.quiet, nullptr);
  if (!o.quiet) {
    bar = std::make_unique<CliProgress>(std::cerr, isatty(STDERR_FILENO) != 0);
    host.SetProgress(bar.get());
  }

  const bool explicitSettings = o.settingsPath != kSettingsFileName;
  if (explicitSettings) {
    if (OpenedFile probe = OpenRegularFile(o.settingsPath, kSettingsMaxBytes); !probe)
      return Fail("cannot read settings file " + o.settingsPath + ": " + probe.reason);
  }
  LoaderDefaults settings = read_defaults(o.settingsPath, host);
  PrintRefused(settings, std::cerr);
  if (o.pci) return RunPci(o, host, settings, bar.get(), watchers);

  std::unique_ptr<SimulatedUnit> simUnit;
  if (o.simulate) {
    sim::PtyUnitConfig config;
    config.unit = UnitFor(settings);
    config.unit.absent = o.simAbsent;
    config.unit.neverLoader = o.simNeverLoader;
    config.unit.wrongChecksum = o.simWrongChecksum;
    config.unit.replyDelayMs = o.simReplyDelayMs;
    config.unit.baud = o.simBaud;
    config.imageDir = o.simSaveImages;
    simUnit = std::make_unique<SimulatedUnit>(config);
    std::string error;
    if (!simUnit->Start(error)) return Fail("cannot start the simulated unit: " + error);
    if (!o.quiet) host.SetStatusText("simulated unit on " + simUnit->DevicePath());
  }

  std::unique_ptr<Transcript> transcript;
  if (!o.transcriptPath.empty()) {
    transcript = std::make_unique<Transcript>(o.transcriptPath);
    if (!transcript->Ok())
      return Fail("cannot write transcript " + o.transcriptPath + ": " + std::strerror(errno));
  }

  // The port as the main window defines it, the settings file and the command line
  // on top; then the unit is looked for as the window does at start.
  TComPort port(host);
  SetUpComPort1(port);
  if (simUnit) port.SetDevicePath(simUnit->DevicePath());
  if (!o.portPath.empty()) port.SetDevicePath(o.portPath);
  if (transcript) port.SetDeviceFactory(TappedDeviceFactory(*transcript));
  const bool namedDevice = !port.GetDevicePath().empty();
  if (namedDevice && access(port.GetDevicePath().c_str(), F_OK) != 0)
    return Fail("cannot open " + port.GetDevicePath() + ": " + std::strerror(errno));
  HeadlessShellView view;
  // A device named on the command line stands for whichever number is probed.
  ShellCore core(host, port, view,
                 [namedDevice](uint16_t n) { return namedDevice || IsPortAvailable(n); });
  core.Channel.LinkMode = kLinkRs232;
  core.Start.ApplySettings(settings);
  if (o.baud) port.SetBaud(*o.baud);
  if (settings.DefaultComPort > 0)
    port.SetComNumber(static_cast<uint16_t>(settings.DefaultComPort));
  if (o.comNumber) port.SetComNumber(static_cast<uint16_t>(*o.comNumber));
  if (auto error = FindUnit(o, core, port, host)) return Fail(*error);
  const std::string device = DeviceOf(port);
  watchers.record.SetPort(device, port.GetBaud());
  if (transcript)
    transcript->Note("script " + o.scriptPath + ", device " + device + " at " +
                     std::to_string(port.GetBaud()) + " baud");

  ProgressModel& progress = core.Progress;
  if (bar) progress.AddObserver(bar.get());
  ScriptEngine& engine = core.Engine;
  watchers.Attach(progress, host, engine);

  UploadOutcome outcome;
  RunOutcome run(host);
  {
    StopButton stop(host, progress);
    // A line that fails under the run (a unit unplugged, say) ends it with its
    // message, as any failed command does.
    outcome = engine.RunScript(o.scriptPath);
  }
  if (bar) progress.RemoveObserver(bar.get());
  watchers.Detach(progress);
  try {
    port.SetOpen(false);
  } catch (const ESerialException&) {
  }
  if (outcome == UploadOutcome::ScriptUnreadable) return kExitCannotStart;
  return run.Succeeded(outcome) ? kExitComplete : kExitUnsuccessful;
}

// One unit: the run, then its record to the report file and, for a unit run among
// several, to the zarnik-cli that started it. The record is written whatever the
// outcome, also when the run could not start.
int RunOne(const CliOptions& o) {
  std::string error;
  if (!o.reportPath.empty() && !CanWriteReport(o.reportPath, error)) return Fail(error);
  std::string unit = o.unitName;
  if (unit.empty() && !o.units.empty()) unit = UnitName(o.units[0]);
  if (unit.empty()) unit = o.pci ? "PCI" : o.simulate ? "simulated" : "unit";
  UnitRecorder record(unit, o.scriptPath, SteadyMs);
  if (!o.units.empty()) {
    const UnitPort& u = o.units[0];
    record.SetPort(u.com ? ComDevicePath(static_cast<unsigned>(*u.com)) : u.path,
                   o.baud.value_or(0));
  }
  std::unique_ptr<UnitEvents> events;
  if (o.unitEventsFd >= 0) events = std::make_unique<UnitEvents>(o.unitEventsFd);
  RunWatchers watchers{record, events.get()};
  int status = Run(o, watchers);
  record.Finish(status, g_failText);
  const std::string json = RecordJson(record.Record());
  if (!o.reportPath.empty() && !WriteFileAtomically(o.reportPath, ReportJson({json}), error)) {
    std::cerr << "zarnik-cli: " << error << std::endl;
    if (status == kExitComplete) status = kExitUnsuccessful;
  }
  if (events) {
    const auto& errors = record.Record().errors;
    events->Finish(record.Record().message, errors.empty() ? "" : errors.front(), json);
  }
  return status;
}

}  // namespace
}  // namespace zarnik

int main(int argc, char** argv) {
  using namespace zarnik;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = ParseCliOptions(args, error);
  if (!options) {
    std::cerr << "zarnik-cli: " << error << "\nTry 'zarnik-cli --help'." << std::endl;
    return 2;
  }
  if (options->command == CliOptions::Command::kCheck)
    return RunCheckCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kPorts)
    return RunPortsCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kHelp) {
    std::cout << kCliUsage;
    return 0;
  }
  if (options->command == CliOptions::Command::kVersion) {
    std::cout << "zarnik-cli " << kZarnikVersion << '\n';
    return 0;
  }
  if (options->helpForRun) {
    std::cout << kCliRunUsage;
    return 0;
  }
  if (options->units.size() > 1) return RunUnits(*options);
  return RunOne(*options);
}
