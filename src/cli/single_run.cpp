#include "cli/single_run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/settings.h"
#include "app/startup.h"
#include "cli/cli_progress.h"
#include "cli/port_list.h"
#include "cli/preflight.h"
#include "cli/tapped_device.h"
#include "cli/transcript.h"
#include "cli/unit_protocol.h"
#include "link/com_discovery.h"
#include "link/command_channel.h"
#include "pci/pci_driver.h"
#include "platform/console_host.h"
#include "script/run_outcome.h"
#include "script/script_engine.h"
#include "serial/com_port.h"
#include "serial/serial_device.h"
#include "sim/simulated_unit.h"

namespace zarnik {

void RunWatchers::Attach(ProgressModel& progress, Host& host, ScriptEngine& engine) {
  record.Watch(host, &engine);
  progress.AddObserver(&record);
  if (events) progress.AddObserver(events);
}

void RunWatchers::Detach(ProgressModel& progress) {
  record.Unwatch();
  progress.RemoveObserver(&record);
  if (events) progress.RemoveObserver(events);
}

namespace {

// The console with a filter for --quiet and a bar that must be broken before a line.
// A prompt that did not come is shown with what the unit sent instead.
class CliHost : public ConsoleHost {
 public:
  CliHost(std::ostream& out, bool quiet, CliProgress* progress, const UnitAnswer& answer)
      : ConsoleHost({&out, !quiet, "status: ", true}),
        quiet_(quiet),
        progress_(progress),
        answer_(answer) {}
  // The first error as it was shown ("" when none was).
  const std::string& FirstErrorShown() const { return firstError_; }
  void SetStatusText(const std::string& text) override {
    if (progress_ && !quiet_) progress_->BreakLine();
    // A device named by its path is called by its path, not by the number it stands for.
    if (!namedDevice_.empty() && text.rfind(msg::kEstablished, 0) == 0)
      return ConsoleHost::SetStatusText("Established communication on " + namedDevice_);
    ConsoleHost::SetStatusText(text);
  }
  void SetNamedDevice(const std::string& path) { namedDevice_ = path; }
  // While set, every message is shown, also with --quiet: the board scan's say why the
  // PCI link is off.
  void KeepEveryMessage(bool keep) { keepAll_ = keep; }

 protected:
  void ShowMessageBox(const std::string& text) override {
    std::string shown = text;
    if (text == msg::kNoPromptBeforeUpload || text == msg::kNoPromptAfterUpload) {
      if (const std::string said = answer_.LastLine(); !said.empty())
        shown += " (the unit answered \"" + said + "\")";
    }
    if (firstError_.empty() && RunOutcome::IsErrorMessage(text)) firstError_ = shown;
    if (quiet_ && !keepAll_ && !IsError(text)) return;
    if (progress_) progress_->BreakLine();
    ConsoleHost::ShowMessageBox(shown);
  }

 private:
  static bool IsError(const std::string& text) {
    return RunOutcome::IsErrorMessage(text) || text == msg::kUploadUnsuccessful;
  }
  bool quiet_;
  bool keepAll_ = false;
  CliProgress* progress_;
  const UnitAnswer& answer_;
  std::string namedDevice_;
  std::string firstError_;
};

// The run's port: a prompt wait that lasts more than a second is announced, so a log
// never shows a silence it cannot explain.
class CliPort : public TComPort {
 public:
  explicit CliPort(Host& host) : TComPort(host), host_(host) {
    announce_ = host_.CreateTimer([this] {
      host_.SetTimerEnabled(announce_, false);
      if (waitSeconds_ > 0) host_.SetStatusText(announcement_);
    });
    host_.SetTimerInterval(announce_, kAnnounceAfterMs);
  }
  ~CliPort() override { host_.DestroyTimer(announce_); }
  bool WaitForString(std::string_view text, int32_t timeoutTicks, bool yield,
                     bool ignoreCase) override {
    waitSeconds_ = timeoutTicks * 92.0 / 1675.0;  // ticks of the serial layer's clock
    char line[96];
    std::snprintf(line, sizeof line, "waiting up to %.1f s for '%s' ...", waitSeconds_,
                  OneLine(std::string(text)).c_str());
    announcement_ = line;
    host_.SetTimerEnabled(announce_, true);
    struct Done {
      CliPort& port;
      ~Done() {
        port.waitSeconds_ = 0;
        port.host_.SetTimerEnabled(port.announce_, false);
      }
    } done{*this};
    return TComPort::WaitForString(text, timeoutTicks, yield, ignoreCase);
  }

 private:
  static constexpr uint32_t kAnnounceAfterMs = 1000;
  Host& host_;
  TimerId announce_;
  std::string announcement_;
  double waitSeconds_ = 0;
};

// Ctrl-C, SIGTERM and SIGHUP for the whole of a unit's run. The handler only writes
// the signal's number to a pipe; a watcher thread acts on it. While the script runs
// the first is the Stop button (posted to the window thread, where the progress model
// lives); a second, or one that comes while nothing can be stopped (the probe, the
// end), ends the run at once with its record written.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnRunSignal(int sig) {
  const int saved = errno;
  const char c = static_cast<char>(sig);
  (void)!write(g_signalPipe[1], &c, 1);
  errno = saved;
}

constexpr int kRunSignals[] = {SIGINT, SIGTERM, SIGHUP};

class RunSignals {
 public:
  explicit RunSignals(std::function<void(int sig)> endNow) : endNow_(std::move(endNow)) {
    if (pipe2(g_signalPipe, O_CLOEXEC) != 0) return;
    watcher_ = std::thread([this] {
      char c;
      while (read(g_signalPipe[0], &c, 1) == 1) {
        if (c == 0) return;
        std::lock_guard lock(mutex_);
        if (stop_ && !stopped_) {
          stopped_ = true;
          stop_();
        } else {
          endNow_(c);
        }
      }
    });
    struct sigaction sa {};
    sa.sa_handler = OnRunSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kRunSignals) sigaction(sig, &sa, nullptr);
    current_ = this;
  }
  ~RunSignals() {
    current_ = nullptr;
    for (int sig : kRunSignals) signal(sig, SIG_DFL);
    if (watcher_.joinable()) {
      const char quit = 0;
      (void)!write(g_signalPipe[1], &quit, 1);
      watcher_.join();
    }
    // A run after this one (a test's, in the same process) makes a pipe of its own.
    for (int& fd : g_signalPipe)
      if (fd >= 0) {
        close(fd);
        fd = -1;
      }
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

  // The run's signals, while a unit's run takes them (none for a bare RunSingle).
  static RunSignals* Current() { return current_; }
  // While set, the first signal presses this Stop button.
  void SetStop(std::function<void()> stop) {
    std::lock_guard lock(mutex_);
    stop_ = std::move(stop);
  }

 private:
  static inline RunSignals* current_ = nullptr;
  std::function<void(int)> endNow_;
  std::mutex mutex_;
  std::function<void()> stop_;
  bool stopped_ = false;
  std::thread watcher_;
};

// The Stop button for the length of the script: Ctrl-C stops the run as Stop does.
class StopButton : public MessageTarget {
 public:
  static constexpr uint32_t kStopMsg = 0x7E60;
  StopButton(Host& host, ProgressModel& progress, std::ostream& out,
             const CommandChannel& channel)
      : host_(host), progress_(progress), out_(out), channel_(channel) {
    host_.AddTarget(this);
    if (RunSignals* signals = RunSignals::Current())
      signals->SetStop([this] { host_.Post(this, kStopMsg); });
  }
  ~StopButton() override {
    if (RunSignals* signals = RunSignals::Current()) signals->SetStop(nullptr);
    host_.RemoveTarget(this);
  }
  intptr_t HandleMessage(uint32_t msg, uintptr_t, intptr_t) override {
    if (msg == kStopMsg) {
      // Stop ends a prompt wait at once; a file being sent is finished first. Written
      // whole, newline included: a second Ctrl-C may end the run from another thread.
      out_ << std::string(channel_.PromptWaiting()
                              ? "\nstopping: the prompt wait ends now\n"
                              : "\nStop requested: the file being sent is finished, then the "
                                "script ends. Ctrl-C again ends at once.\n")
           << std::flush;
      progress_.Stop();
    }
    return 0;
  }

 private:
  Host& host_;
  ProgressModel& progress_;
  std::ostream& out_;
  // Its prompt waits, on either link, end at once on Stop.
  const CommandChannel& channel_;
};

// Why a run failed: the first error shown, else the run's last message; "" when it completed.
std::string FailureText(int status, const std::string& firstError, const std::string& message) {
  if (status == kExitComplete) return "";
  std::string why = !firstError.empty() ? firstError : message;
  if (why.empty()) why = "the run ended with exit status " + std::to_string(status);
  return OneLine(why);
}

// "completed", or "FAILED: " and why.
std::string VerdictText(int status, const std::string& firstError, const std::string& message) {
  if (status == kExitComplete) return "completed";
  return "FAILED: " + FailureText(status, firstError, message);
}

std::string FirstError(const UnitRecord& r) { return r.errors.empty() ? "" : r.errors.front(); }

RunEnd Fail(std::ostream& out, const std::string& text) {
  out << "zarnik-cli: " << text << std::endl;
  return {kExitCannotStart, text, ""};
}

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

// Why a port could not be opened, named by its cause, with the device's path.
std::string CannotOpenText(const TComPort& port, const ESerialException& e) {
  const std::string device = DeviceOf(port);
  switch (e.Cause()) {
    case SerialError::PermissionDenied:
      return "cannot open " + device +
             ": Permission denied (add your user to the dialout group: sudo usermod -aG dialout "
             "$USER, then log in again)";
    case SerialError::Busy: {
      std::string who;
      for (const PortHolder& h : HoldersOfDevice(PortRootsFromEnvironment(), device))
        who += (who.empty() ? "" : ", ") + std::to_string(h.pid) + " (" + h.program + ")";
      return "cannot open " + device + ": " + (who.empty() ? "busy" : "held by " + who);
    }
    case SerialError::NotSerial:
      return device + " is not a serial port";
    case SerialError::RateRefused:
      return device + " does not accept " + std::to_string(port.GetBaud()) + " baud";
    default:
      return "cannot open " + device + ": " + e.what();
  }
}

// Opens the port and closes it again: why it cannot be opened, or nullopt.
std::optional<std::string> OpenFailure(TComPort& port) {
  try {
    port.SetOpen(true);
  } catch (const ESerialException& e) {
    return CannotOpenText(port, e);
  }
  try {
    port.SetOpen(false);
  } catch (const ESerialException&) {
  }
  return std::nullopt;
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
      return CannotOpenText(port, e);
    }
    return std::nullopt;
  }
  if (named) {
    if (port.GetDevicePath().empty() && !IsPortAvailable(port.GetComNumber()))
      return "cannot open " + DeviceOf(port) + ": no such port";
    host.SetStatusText("probing " + DeviceOf(port) + " for the unit's prompt ...");
    if (!core.Discovery.check_com(port.GetComNumber())) {
      // Nothing was sent when the port did not open: say why, not that nobody answered.
      if (auto why = OpenFailure(port)) return why;
      return "no unit answered on " + DeviceOf(port) +
             " (no prompt character in reply to a carriage return)";
    }
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

// The transcript --transcript asks for (nullptr without it), or why it cannot be written.
std::unique_ptr<Transcript> OpenTranscript(const CliOptions& o, std::string& error) {
  if (o.transcriptPath.empty()) return nullptr;
  auto transcript = std::make_unique<Transcript>(o.transcriptPath);
  if (!transcript->Ok())
    error = "cannot write transcript " + o.transcriptPath + ": " + std::strerror(errno);
  return transcript;
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

// The console, the bar and the watchers of one run.
struct RunFrame {
  CliHost& host;
  CliProgress* bar;
  RunWatchers& watchers;
  std::ostream& out;
  UnitAnswer& answer;
};

// The script on the engine, with Ctrl-C as the Stop button, watched by the bar, the
// record and the events; the same for a port and for the PCI boards.
int RunScriptWatched(ShellCore& core, RunFrame& f,
                     const std::function<UploadOutcome()>& run) {
  ProgressModel& progress = core.Progress;
  if (f.bar) progress.AddObserver(f.bar);
  f.watchers.Attach(progress, f.host, core.Engine);
  UploadOutcome outcome;
  RunOutcome result(f.host);
  {
    StopButton stop(f.host, progress, f.out, core.Channel);
    // A line that fails under the run (a unit unplugged, say) ends it with its
    // message, as any failed command does.
    outcome = run();
  }
  if (f.bar) progress.RemoveObserver(f.bar);
  f.watchers.Detach(progress);
  if (outcome == UploadOutcome::ScriptUnreadable) return kExitCannotStart;
  return result.Succeeded(outcome) ? kExitComplete : kExitUnsuccessful;
}

// --pci: the board scan as the window's, then the script once per board.
RunEnd RunPci(const CliOptions& o, const LoaderDefaults& settings, RunFrame& f) {
  std::string error;
  // Before the boards: it must outlive their driver.
  std::unique_ptr<Transcript> transcript = OpenTranscript(o, error);
  if (!error.empty()) return Fail(f.out, error);
  // ComPort1 exists as in the window; the PCI link never opens it.
  TComPort port(f.host);
  SetUpComPort1(port);
  HeadlessShellView view;
  ShellCore core(f.host, port, view);
  core.Start.ApplySettings(settings);
  const sim::SimUnitOptions unit = UnitFor(settings);
  std::unique_ptr<PciDriver> driver = MakePciDriver(f.host, error, &unit);
  if (!error.empty()) return Fail(f.out, error);
  TappedPciDriver* tap = nullptr;
  if (transcript) {
    auto tapped = std::make_unique<TappedPciDriver>(std::move(driver), *transcript);
    tap = tapped.get();
    driver = std::move(tapped);
  }
  f.host.KeepEveryMessage(true);
  core.ScanPciBoards(std::move(driver));
  f.host.KeepEveryMessage(false);
  if (!core.Pci.BoardsFound())
    return Fail(f.out,
                "no PCI boards found ($ZARNIK_PCI_SIM sets up simulated boards, $ZARNIK_PCI_MAP "
                "or $ZARNIK_PCI_MAP_FILE names real ones)");
  if (core.Channel.LinkMode != kLinkPci)
    return Fail(f.out, "the PCI link is disabled: a board ID is invalid or used twice");
  core.Start.ConnectToBoard();
  std::string ids;
  for (int id = 0; id < kPciBoardIds; ++id)
    if (core.Pci.BoardIndexById[id] != -1) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
  f.host.SetStatusText("PCI boards with IDs " + ids);

  f.watchers.record.SetPort("PCI", 0);
  return {RunScriptWatched(
              core, f,
              [&] {
                return core.Engine.RunScript(
                    o.scriptPath, core.Pci.BoardIndexById, [&](int id, int index) {
                      core.SelectBoard(id, index);
                      f.watchers.record.SetBoard(id);
                      if (tap)
                        tap->Note("script " + o.scriptPath + " on PCI board " + std::to_string(id) +
                                  " (device " + std::to_string(index) + ")");
                      f.host.SetStatusText("running on PCI board " + std::to_string(id));
                    });
              }),
          "", ""};
}

// Over a COM port: the unit looked for as the window does at start, then the script.
RunEnd RunOnPort(const CliOptions& o, const LoaderDefaults& settings, RunFrame& f) {
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
    if (!simUnit->Start(error)) return Fail(f.out, "cannot start the simulated unit: " + error);
    if (!o.quiet) f.host.SetStatusText("simulated unit on " + simUnit->DevicePath());
  }

  std::string error;
  std::unique_ptr<Transcript> transcript = OpenTranscript(o, error);
  if (!error.empty()) return Fail(f.out, error);

  // The port as the main window defines it, the settings file and the command line
  // on top; then the unit is looked for as the window does at start.
  CliPort port(f.host);
  SetUpComPort1(port);
  if (simUnit) port.SetDevicePath(simUnit->DevicePath());
  if (!o.portPath.empty()) {
    port.SetDevicePath(o.portPath);
    f.host.SetNamedDevice(o.portPath);
  }
  // Every byte goes past the unit's answer, and the transcript when there is one.
  port.SetDeviceFactory(TappedDeviceFactory(
      [&answer = f.answer, t = transcript.get()](Transcript::Direction d, const uint8_t* data,
                                                 size_t n) {
        if (t) t->Record(d, data, n);
        if (d == Transcript::Direction::kReceived) answer.Add(data, n);
      }));
  const bool namedDevice = !port.GetDevicePath().empty();
  if (namedDevice && !IsBackendDevicePath(port.GetDevicePath()) &&
      access(port.GetDevicePath().c_str(), F_OK) != 0)
    return Fail(f.out, "cannot open " + port.GetDevicePath() + ": " + std::strerror(errno));
  HeadlessShellView view;
  // A device named on the command line stands for whichever number is probed.
  ShellCore core(f.host, port, view,
                 [namedDevice](uint16_t n) { return namedDevice || IsPortAvailable(n); });
  core.Channel.LinkMode = kLinkRs232;
  core.Start.ApplySettings(settings);
  if (o.baud) port.SetBaud(*o.baud);
  if (settings.DefaultComPort > 0)
    port.SetComNumber(static_cast<uint16_t>(settings.DefaultComPort));
  if (o.comNumber) port.SetComNumber(static_cast<uint16_t>(*o.comNumber));
  // The record names the port and rate in force also when no unit answers.
  f.watchers.record.SetPort(DeviceOf(port), port.GetBaud());
  if (auto error = FindUnit(o, core, port, f.host)) return Fail(f.out, *error);
  const std::string device = DeviceOf(port);
  f.watchers.record.SetPort(device, port.GetBaud());
  if (transcript)
    transcript->Note("script " + o.scriptPath + ", device " + device + " at " +
                     std::to_string(port.GetBaud()) + " baud");

  const int status =
      RunScriptWatched(core, f, [&] { return core.Engine.RunScript(o.scriptPath); });
  try {
    port.SetOpen(false);
  } catch (const ESerialException&) {
  }
  return {status, "", ""};
}

}  // namespace

RunEnd RunSingle(const CliOptions& o, RunWatchers& watchers, RunConsole console) {
  // Nothing is started, and nothing sent, before the run's files are known to be usable.
  if (auto why = Preflight(o)) return Fail(console.out, *why);
  std::unique_ptr<CliProgress> bar;
  if (!o.quiet) bar = std::make_unique<CliProgress>(console.out, console.terminal);
  UnitAnswer answer;
  CliHost host(console.out, o.quiet, bar.get(), answer);
  LoaderDefaults settings = read_defaults(o.settingsPath, host);
  PrintRefused(settings, console.out);
  RunFrame frame{host, bar.get(), watchers, console.out, answer};
  RunEnd end = o.pci ? RunPci(o, settings, frame) : RunOnPort(o, settings, frame);
  end.firstError = host.FirstErrorShown();
  return end;
}

int RunUnit(const CliOptions& o, RunConsole console) {
  // Where the record cannot be written there is no record: that ends the run first.
  RecordSink sink(o.reportPath, o.dbPath);
  std::string error;
  if (!sink.Check(error)) return Fail(console.out, error).status;
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
  // How the unit ended, to the zarnik-cli that started it (one unit among several): a
  // record that could not be written is among its errors, so the unit shows failed
  // with that reason when the run itself showed none.
  auto tell = [&](UnitRecord r, const std::string& writeError) {
    if (!events) return;
    if (!writeError.empty()) r.errors.push_back(writeError);
    events->Finish(r.message, FirstError(r), RecordJson(r));
  };
  // The last word: the verdict, which says so when the record could not be written.
  // Among several units the summary gives the verdict; a unit's record failure is
  // still said on its own line. runStatus: how the run itself ended.
  auto verdict = [&](const UnitRecord& r, int runStatus, const std::string& shown,
                     const std::string& writeError) {
    if (events) {
      if (!writeError.empty()) console.out << "zarnik-cli: " + writeError + "\n" << std::flush;
    } else if (!writeError.empty()) {
      EndOnUnwrittenRecord(console.out, writeError, FailureText(runStatus, shown, r.message));
    } else {
      console.out << "zarnik-cli: " + VerdictText(runStatus, shown, r.message) + "\n"
                  << std::flush;
    }
  };
  RunSignals signals([&](int sig) {
    EndRunNow(sig, record, sink, tell, [&](const UnitRecord& r, const std::string& writeError) {
      verdict(r, r.exitStatus, FirstError(r), writeError);
    });
  });
  RunWatchers watchers{record, events.get()};
  const RunEnd end = RunSingle(o, watchers, console);
  int status = end.status;
  record.Finish(status, end.failText);
  bool wrote = false;
  std::string writeError;
  const bool recorded = sink.Write(record.Record(), writeError, &wrote);
  if (!recorded && status == kExitComplete) status = kExitUnsuccessful;
  UnitRecord last = record.Record();
  last.exitStatus = status;
  if (wrote) tell(last, writeError);
  // After everything else. A run that could not start has said why on its last line
  // already, unless its record could not be written either.
  if (end.failText.empty() || !recorded) {
    const std::string shown = !end.firstError.empty() ? end.firstError : FirstError(last);
    verdict(last, end.status, shown, writeError);
  }
  return status;
}

}  // namespace zarnik
