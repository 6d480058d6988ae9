#include "cli/multi_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

#include "cli/preflight.h"
#include "cli/run_report.h"
#include "cli/unit_protocol.h"
#include "serial/com_names.h"

namespace zarnik {

// ---- Names and arguments ----

namespace {

std::string FileNameSafe(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool keep =
        std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    out += keep ? c : '_';
  }
  return out;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string UnitName(const UnitPort& unit) {
  if (unit.com) return "COM" + std::to_string(*unit.com);
  std::filesystem::path p(unit.path);
  // A trailing '/' leaves an empty file name; "/" is its own parent.
  while (p.filename().empty() && p.has_relative_path()) p = p.parent_path();
  std::string name = p.filename().string();
  if (AllDigits(name)) name = p.parent_path().filename().string() + name;
  name = FileNameSafe(name);
  if (name.empty() || name == "." || name == "..") name = "unit";
  return name;
}

std::vector<std::string> UnitNames(const std::vector<UnitPort>& units) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const UnitPort& u : units) {
    const std::string base = UnitName(u);
    std::string name = base;
    for (int n = 2; taken.count(name); ++n) name = base + "-" + std::to_string(n);
    taken.insert(name);
    names.push_back(name);
  }
  return names;
}

std::string PathForUnit(const std::string& path, const std::string& unit) {
  std::filesystem::path p(path);
  std::string name = p.stem().string() + "-" + unit + p.extension().string();
  return (p.parent_path() / name).string();
}

std::vector<std::string> UnitArgs(const CliOptions& o, size_t index, const std::string& name,
                                  int eventsFd) {
  const UnitPort& u = o.units[index];
  std::vector<std::string> args = {"run", o.scriptPath};
  if (u.com)
    args.insert(args.end(), {"--com", std::to_string(*u.com)});
  else
    args.insert(args.end(), {"--port", u.path});
  if (o.baud) args.insert(args.end(), {"--baud", std::to_string(*o.baud)});
  if (o.settingsPath != CliOptions().settingsPath)
    args.insert(args.end(), {"--settings", o.settingsPath});
  if (o.noProbe) args.push_back("--no-probe");
  if (o.noCheck) args.push_back("--no-check");
  if (o.quiet) args.push_back("--quiet");
  if (!o.transcriptPath.empty())
    args.insert(args.end(), {"--transcript", PathForUnit(o.transcriptPath, name)});
  // Each unit records its own run: the history takes writers at once.
  if (!o.dbPath.empty()) args.insert(args.end(), {"--db", o.dbPath});
  args.insert(args.end(), {kUnitNameOption, name, kUnitEventsOption, std::to_string(eventsFd)});
  return args;
}

// ---- A unit's side ----

namespace {
constexpr uint64_t kRedrawMs = 100;
constexpr int kUnitBarWidth = 20;
}  // namespace

void UnitEvents::Send(UnitEvent::Kind kind, const std::string& text) {
  const std::string line = EncodeUnitEvent({kind, text});
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody listens any more; the run goes on regardless
    done += static_cast<size_t>(n);
  }
}

void UnitEvents::ProgressShown(const ProgressModel& m) {
  lastBarMs_ = clock_();
  meter_.Start(lastBarMs_, m.FileSize());
  Send(UnitEvent::Kind::kFile, m.BlockNameLabel());
  Send(UnitEvent::Kind::kBar, ProgressBarText(m, meter_, kUnitBarWidth));
}

void UnitEvents::ProgressStepped(const ProgressModel& m) {
  const uint64_t now = clock_();
  meter_.Step(now);
  // The viewer redraws ten times a second at most; the last block always goes.
  if (now - lastBarMs_ < kRedrawMs && meter_.BytesSent() < meter_.Size()) return;
  lastBarMs_ = now;
  Send(UnitEvent::Kind::kBar, ProgressBarText(m, meter_, kUnitBarWidth));
}

void UnitEvents::ProgressHidden(const ProgressModel&) {
  Send(UnitEvent::Kind::kIdle, "");
}

void UnitEvents::Finish(const std::string& message, const std::string& firstError,
                        const std::string& recordJson) {
  Send(UnitEvent::Kind::kMessage, message);
  if (!firstError.empty()) Send(UnitEvent::Kind::kError, firstError);
  Send(UnitEvent::Kind::kReport, recordJson);
}

// ---- The runner ----

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void OnUnitsSignal(int sig) {
  char c = static_cast<char>(sig);
  (void)!write(g_signalPipe[1], &c, 1);
}

struct Unit {
  std::string name;
  UnitPort port;
  pid_t pid = -1;
  int outFd = -1;
  int eventFd = -1;
  std::string outPending, eventPending;
  std::string shown;  // what the unit's line shows when no bar is open
  std::string bar;
  std::string message, firstError, record;
  int status = -1;
  uint64_t startMs = 0, endMs = 0;
  std::chrono::system_clock::time_point started;
  bool Running() const { return status < 0; }
};

class UnitsRunner {
 public:
  UnitsRunner(const CliOptions& o, std::ostream& out)
      : o_(o), out_(out), terminal_(isatty(STDERR_FILENO) != 0) {}
  int Run();

 private:
  bool Start(Unit& u, size_t index);
  void Loop();
  void ReadOutput(Unit& u);
  void ReadEvents(Unit& u);
  void Reap(Unit& u);
  void OnSignal(int sig);
  void Line(const Unit& u, const std::string& text);
  void Event(Unit& u, const std::string& line);
  void DrawLines();
  std::string UnitLine(const Unit& u, size_t nameWidth) const;
  size_t Columns() const;
  void Summary();
  std::string RecordOf(const Unit& u) const;

  const CliOptions& o_;
  std::ostream& out_;
  bool terminal_;
  std::vector<Unit> units_;
  bool linesDrawn_ = false;
  bool dirty_ = false;
  uint64_t lastDrawMs_ = 0;
  int interrupts_ = 0;
};

bool UnitsRunner::Start(Unit& u, size_t index) {
  int out[2], events[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(events, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  const std::vector<std::string> args = UnitArgs(o_, index, u.name, events[1]);
  std::vector<char*> argv;
  std::string self = "zarnik-cli";
  argv.push_back(self.data());
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  u.started = std::chrono::system_clock::now();
  u.startMs = SteadyMs();
  const pid_t pid = fork();
  if (pid == 0) {
    // Its own process group: a Ctrl-C at the terminal reaches this process only,
    // which passes it on; and it ends with this process.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(kExitUnsuccessful);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    fcntl(events[1], F_SETFD, 0);
    execv("/proc/self/exe", argv.data());
    const char* text = "zarnik-cli: cannot start zarnik-cli for the unit\n";
    (void)!write(STDERR_FILENO, text, std::strlen(text));
    _exit(kExitNoProgram);
  }
  close(out[1]);
  close(events[1]);
  if (pid < 0) {
    close(out[0]);
    close(events[0]);
    return false;
  }
  u.pid = pid;
  u.outFd = out[0];
  u.eventFd = events[0];
  u.shown = "starting";
  return true;
}

size_t UnitsRunner::Columns() const {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) return ws.ws_col;
  return 80;
}

std::string UnitsRunner::UnitLine(const Unit& u, size_t nameWidth) const {
  std::string text = u.name + std::string(nameWidth - u.name.size() + 2, ' ');
  if (!u.Running())
    text += std::string(OutcomeOf(u.status == 0 ? 0 : 1)) + "  " + u.message;
  else
    text += u.bar.empty() ? u.shown : u.bar;
  // A line that wraps would break the redraw, which counts lines.
  const size_t columns = Columns() - 1;
  if (text.size() > columns) text.resize(columns);
  return text;
}

// The units' lines at the bottom of the terminal, redrawn in place.
void UnitsRunner::DrawLines() {
  if (!terminal_) return;
  size_t nameWidth = 0;
  for (const Unit& u : units_) nameWidth = std::max(nameWidth, u.name.size());
  std::string text;
  if (linesDrawn_) text += "\x1b[" + std::to_string(units_.size()) + "F";
  for (const Unit& u : units_) text += "\r" + UnitLine(u, nameWidth) + "\x1b[K\n";
  out_ << text << std::flush;
  linesDrawn_ = true;
  dirty_ = false;
  lastDrawMs_ = SteadyMs();
}

// A line of a unit's output, above the units' lines.
void UnitsRunner::Line(const Unit& u, const std::string& text) {
  std::string line = "[" + u.name + "] " + OneLine(text);
  if (!terminal_) {
    out_ << line << '\n' << std::flush;
    return;
  }
  if (linesDrawn_) out_ << "\x1b[" << units_.size() << "F\x1b[J";
  linesDrawn_ = false;
  out_ << line << '\n';
  DrawLines();
}

void UnitsRunner::Event(Unit& u, const std::string& line) {
  const std::optional<UnitEvent> event = DecodeUnitEvent(line);
  if (!event) return;
  switch (event->kind) {
    case UnitEvent::Kind::kFile:
      break;
    case UnitEvent::Kind::kBar:
      u.bar = event->text;
      dirty_ = true;
      break;
    case UnitEvent::Kind::kIdle:
      u.bar.clear();
      dirty_ = true;
      break;
    case UnitEvent::Kind::kMessage:
      u.message = event->text;
      break;
    case UnitEvent::Kind::kError:
      u.firstError = event->text;
      break;
    case UnitEvent::Kind::kReport:
      u.record = event->text;
      break;
  }
}

// Complete lines out of what came; at the end, the rest as a line.
template <typename Each>
void TakeLines(std::string& pending, bool ended, Each each) {
  size_t from = 0;
  for (size_t nl; (nl = pending.find('\n', from)) != std::string::npos; from = nl + 1)
    each(pending.substr(from, nl - from));
  pending.erase(0, from);
  if (ended && !pending.empty()) {
    each(pending);
    pending.clear();
  }
}

// Reads what is there; false at the end of the pipe (then closed).
bool ReadSome(int& fd, std::string& pending) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    close(fd);
    fd = -1;
    return false;
  }
  pending.append(buf, static_cast<size_t>(n));
  return true;
}

void UnitsRunner::ReadOutput(Unit& u) {
  const bool open = ReadSome(u.outFd, u.outPending);
  TakeLines(u.outPending, !open, [&](const std::string& line) {
    // Status texts also stand on the unit's line while no bar is open.
    if (!line.empty()) u.shown = OneLine(line);
    Line(u, line);
  });
}

void UnitsRunner::ReadEvents(Unit& u) {
  const bool open = ReadSome(u.eventFd, u.eventPending);
  TakeLines(u.eventPending, !open, [&](const std::string& line) { Event(u, line); });
}

void UnitsRunner::Reap(Unit& u) {
  int status = 0;
  while (waitpid(u.pid, &status, 0) < 0 && errno == EINTR) {
  }
  u.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  u.endMs = SteadyMs();
  u.bar.clear();
  if (u.message.empty()) {
    u.message = WIFSIGNALED(status)
                    ? "ended by signal " + std::to_string(WTERMSIG(status)) + " without a result"
                    : "ended with exit status " + std::to_string(u.status) + " without a result";
    if (u.status == kExitAtOnce) u.message = "ended at once by a second Ctrl-C";
  }
  dirty_ = true;
}

void UnitsRunner::OnSignal(int sig) {
  ++interrupts_;
  std::string note = interrupts_ == 1
                         ? "Stop requested on every unit: the file being sent is finished, then "
                           "the script ends. Ctrl-C again ends at once."
                         : "Ending every unit at once.";
  if (terminal_ && linesDrawn_) out_ << "\x1b[" << units_.size() << "F\x1b[J";
  linesDrawn_ = false;
  out_ << note + "\n" << std::flush;
  for (Unit& u : units_)
    if (u.Running()) kill(u.pid, sig == SIGINT ? SIGINT : SIGTERM);
  DrawLines();
}

void UnitsRunner::Loop() {
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Unit*, bool>> owners;  // unit, events pipe
    fds.push_back({g_signalPipe[0], POLLIN, 0});
    owners.push_back({nullptr, false});
    bool running = false;
    for (Unit& u : units_) {
      if (!u.Running()) continue;
      if (u.outFd < 0 && u.eventFd < 0) {
        Reap(u);
        continue;
      }
      running = true;
      if (u.outFd >= 0) {
        fds.push_back({u.outFd, POLLIN, 0});
        owners.push_back({&u, false});
      }
      if (u.eventFd >= 0) {
        fds.push_back({u.eventFd, POLLIN, 0});
        owners.push_back({&u, true});
      }
    }
    if (dirty_ && SteadyMs() - lastDrawMs_ >= kRedrawMs) DrawLines();
    if (!running) return;
    int timeout = -1;
    if (dirty_ && terminal_)
      timeout = static_cast<int>(kRedrawMs - std::min(kRedrawMs, SteadyMs() - lastDrawMs_));
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (!owners[i].first) {
        char sig;
        if (read(g_signalPipe[0], &sig, 1) == 1) OnSignal(sig);
      } else if (owners[i].second) {
        ReadEvents(*owners[i].first);
      } else {
        ReadOutput(*owners[i].first);
      }
    }
  }
}

std::string UnitsRunner::RecordOf(const Unit& u) const {
  if (!u.record.empty()) return u.record;
  // The unit's process gave no record (it crashed or was ended): one made here.
  UnitRecord r;
  r.unit = u.name;
  r.script = o_.scriptPath;
  r.port = u.port.com ? ComDevicePath(static_cast<unsigned>(*u.port.com)) : u.port.path;
  r.baud = o_.baud.value_or(0);
  r.start = u.started;
  r.end = u.started + std::chrono::milliseconds(u.endMs - u.startMs);
  r.exitStatus = u.status;
  r.message = u.message;
  return RecordJson(r);
}

void UnitsRunner::Summary() {
  size_t nameWidth = 4, outcomeWidth = 7;
  for (const Unit& u : units_) {
    nameWidth = std::max(nameWidth, u.name.size());
    outcomeWidth = std::max(outcomeWidth, std::strlen(OutcomeOf(u.status)));
  }
  auto pad = [](std::string s, size_t w) {
    return s + std::string(w - std::min(w, s.size()), ' ');
  };
  int completed = 0;
  out_ << "\n"
       << pad("unit", nameWidth) << "  " << pad("outcome", outcomeWidth) << "  " << pad("time", 8)
       << "  message\n";
  for (const Unit& u : units_) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", (u.endMs - u.startMs) / 1000.0);
    std::string message = u.message;
    if (!u.firstError.empty() && u.firstError != u.message) message += " (" + u.firstError + ")";
    out_ << pad(u.name, nameWidth) << "  " << pad(OutcomeOf(u.status), outcomeWidth) << "  "
         << pad(seconds, 8) << "  " << message << '\n';
    if (u.status == 0) ++completed;
  }
  // The verdict of the whole run.
  const size_t failed = units_.size() - static_cast<size_t>(completed);
  out_ << completed << " of " << units_.size() << " units completed";
  if (failed > 0) out_ << ", " << failed << " FAILED";
  out_ << std::endl;
}

int UnitsRunner::Run() {
  // Nothing is started before the run's files are known to be usable, as for one unit.
  if (auto why = Preflight(o_)) {
    out_ << "zarnik-cli: " << *why << std::endl;
    return kExitCannotStart;
  }
  std::string error;

  if (pipe2(g_signalPipe, O_CLOEXEC) != 0) {
    out_ << "zarnik-cli: cannot set up the units' runs: " << std::strerror(errno) << std::endl;
    return kExitCannotStart;
  }
  struct sigaction sa {};
  sa.sa_handler = OnUnitsSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);  // a closed terminal still leaves the report
  signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> names = UnitNames(o_.units);
  units_.resize(o_.units.size());
  for (size_t i = 0; i < units_.size(); ++i) {
    units_[i].name = names[i];
    units_[i].port = o_.units[i];
  }
  if (!o_.quiet) {
    std::string list;
    for (const Unit& u : units_) list += (list.empty() ? "" : ", ") + u.name;
    out_ << "status: running " << o_.scriptPath << " on " << units_.size()
         << " units at once: " << list << std::endl;
  }
  for (size_t i = 0; i < units_.size(); ++i) {
    Unit& u = units_[i];
    if (!Start(u, i)) {
      u.status = kExitCannotStart;
      u.startMs = u.endMs = SteadyMs();
      u.message = std::string("cannot start zarnik-cli for the unit: ") + std::strerror(errno);
    }
  }
  DrawLines();
  Loop();
  DrawLines();
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);

  int status = kExitComplete;
  for (const Unit& u : units_)
    if (u.status != 0) status = kExitUnsuccessful;
  bool recorded = true;
  if (!o_.reportPath.empty()) {
    std::vector<std::string> records;
    for (const Unit& u : units_) records.push_back(RecordOf(u));
    recorded = WriteReport(o_.reportPath, ReportJson(records), std::cout, error);
    if (!recorded) status = kExitUnsuccessful;
  }
  // The summary ends the run: its last line is the verdict, unless the record could
  // not be written, which is said after it. The units' own failures stand in the table.
  Summary();
  if (!recorded) EndOnUnwrittenRecord(out_, error, "");
  return status;
}

}  // namespace

int RunUnits(const CliOptions& o) {
  UnitsRunner runner(o, std::cerr);
  return runner.Run();
}

}  // namespace zarnik
