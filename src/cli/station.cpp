#include "cli/station.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "app/settings.h"
#include "app/startup.h"
#include "cli/multi_run.h"
#include "cli/ports_command.h"
#include "cli/station_screen.h"
#include "cli/unit_protocol.h"
#include "platform/console_host.h"
#include "platform/regular_file.h"
#include "record/history_db.h"
#include "script/script_engine.h"
#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

const char* const kCliStationUsage =
    "Usage: zarnik-cli station SCRIPT (--port PATH | --com N | --watch GLOB)... [--db FILE]\n"
    "                          [--baud B] [--settings FILE] [--probe-every SECS] [--existing]\n"
    "                          [--report-dir DIR]\n"
    "\n"
    "Loads every unit connected to the given ports, one after another on each port, all\n"
    "ports at once. Per port: a probe every SECS seconds (default 2) until a unit answers\n"
    "(a carriage return answered by a prompt character), then SCRIPT runs on it exactly\n"
    "as `zarnik-cli run SCRIPT --port PATH` runs it, then the port is probed until the\n"
    "unit has gone (two probes unanswered in a row, or the device vanished): a unit left\n"
    "connected is never loaded twice. Each run is recorded in the history database\n"
    "(default $XDG_DATA_HOME/zarnik/history.db; see zarnik-cli history); one that cannot\n"
    "be opened stops the station before anything is sent. --report-dir DIR also writes\n"
    "each run's JSON record as DIR/<port>-<n>.json.\n"
    "\n"
    "--watch GLOB (repeatable; e.g. '/dev/serial/by-id/usb-FTDI_*'): every device path\n"
    "matching GLOB that appears in its folder (a udev link or a device node) is a new\n"
    "unit: probed, loaded and recorded once; it is done when its path goes away. Paths\n"
    "already there when the station starts are left alone unless --existing.\n"
    "\n"
    "Output (stdout): on a terminal, the count (\"12 passed, 1 failed since 08:02\") and\n"
    "one line per port kept in place: waiting for a unit, loading FILE  42%  11.5 kB/s\n"
    "0:31 left, PASS <the last reply of the unit> disconnect the unit, FAIL <first error>\n"
    "(green and red unless NO_COLOR is set; the bell on a FAIL). Into a pipe, one line\n"
    "per event: the port and what happens (the progress at most every 5 s, gone when a\n"
    "watched path has gone), and after each run the count.\n"
    "Ctrl-C: no new run starts, running ones stop as Stop does, then a summary.\n"
    "\n"
    "Exit status: 0 when no run failed, 1 when one did, 2 usage error or a script,\n"
    "history database or watched folder that cannot be used.\n";

namespace {

struct StationOptions {
  std::string script;
  std::vector<std::string> ports;
  std::vector<std::string> watches;
  bool existing = false;
  std::string db;
  std::optional<int32_t> baud;
  std::string settings = kSettingsFileName;
  int probeEverySec = 2;
  std::string reportDir;
};

template <typename T>
bool ParseNumber(const std::string& text, T& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::optional<StationOptions> Parse(const std::vector<std::string>& args, bool& help,
                                    std::ostream& err) {
  StationOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inlineValue;
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      err << "zarnik-cli: " << a << " needs a value\n";
      return std::nullopt;
    };
    if (a == "--help" || a == "-h") {
      help = true;
      return std::nullopt;
    }
    if (a == "--existing") {
      o.existing = true;
      continue;
    }
    if (a.rfind("-", 0) != 0) {
      if (!o.script.empty()) {
        err << "zarnik-cli: station takes one script ('" << o.script << "', '" << a << "')\n";
        return std::nullopt;
      }
      o.script = a;
      continue;
    }
    auto v = value();
    if (!v) return std::nullopt;
    int n = 0;
    if (a == "--port") {
      o.ports.push_back(*v);
    } else if (a == "--com" && ParseNumber(*v, n) && n > 0) {
      o.ports.push_back(ComDevicePath(static_cast<unsigned>(n)));
    } else if (a == "--watch") {
      if (const size_t slash = v->rfind('/');
          slash == std::string::npos || v->find_first_of("*?[") < slash) {
        err << "zarnik-cli: --watch needs a folder and a pattern of names in it, such as "
               "'/dev/serial/by-id/usb-FTDI_*', not '" << *v << "'\n";
        return std::nullopt;
      }
      o.watches.push_back(*v);
    } else if (a == "--db") {
      o.db = *v;
    } else if (a == "--baud" && ParseNumber(*v, n) && n > 0) {
      o.baud = n;
    } else if (a == "--settings") {
      o.settings = *v;
    } else if (a == "--probe-every" && ParseNumber(*v, n) && n > 0) {
      o.probeEverySec = n;
    } else if (a == "--report-dir") {
      o.reportDir = *v;
    } else {
      err << "zarnik-cli: bad option for station: " << a << " " << *v
          << "\nTry 'zarnik-cli station --help'.\n";
      return std::nullopt;
    }
  }
  if (o.script.empty() || (o.ports.empty() && o.watches.empty())) {
    err << "zarnik-cli: station needs a script and at least one --port, --com or --watch\n"
           "Try 'zarnik-cli station --help'.\n";
    return std::nullopt;
  }
  if (o.db.empty()) o.db = HistoryDb::DefaultPath();
  return o;
}

// ---- A port's loop (its own process) ----

volatile sig_atomic_t g_stop = 0;
volatile pid_t g_runPid = -1;

extern "C" void OnPortSignal(int) {
  g_stop = 1;
  if (g_runPid > 0) kill(g_runPid, SIGINT);
}

void Say(int fd, const std::string& line) {
  const std::string text = OneLine(line) + "\n";
  (void)!write(fd, text.data(), text.size());
}

using SteadyClock = std::chrono::steady_clock;

// Sleeps until `until`, cut short by a stop.
void PauseUntil(SteadyClock::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now());
  if (!g_stop && left.count() > 0) poll(nullptr, 0, static_cast<int>(left.count()));
}

bool DeviceThere(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The path's own inode (the link's, not its target's): a path removed and made again is
// a new unit.
ino_t PathIdentity(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// How long an idle probe waits for each prompt character: a unit answers a carriage
// return within milliseconds, so a silent port costs a fraction of a second, not the
// start-up probe's two long waits. The run itself still does the full start-up sequence.
constexpr int32_t kIdleProbeTicks = 4;  // of 55 ms

// The start-up probe's bytes (a carriage return for the first prompt character, then
// one for the second), stopping at the first answer.
bool UnitAnswers(const std::string& path, const LoaderDefaults& settings,
                 std::optional<int32_t> baud) {
  if (!DeviceThere(path)) return false;
  std::ostringstream quiet;
  ConsoleHost host({&quiet, false});
  TComPort port(host);
  SetUpComPort1(port);
  port.SetDevicePath(path);
  HeadlessShellView view;
  ShellCore core(host, port, view, [](uint16_t) { return true; });
  core.Channel.LinkMode = kLinkRs232;
  core.Start.ApplySettings(settings);
  core.Channel.PromptTimeout = kIdleProbeTicks;
  bool answered = false;
  try {
    if (baud) port.SetBaud(*baud);
    port.SetComNumber(1);
    port.SetOpen(true);
    for (const char prompt : {core.Channel.PromptChar1, core.Channel.PromptChar2}) {
      core.Channel.ExpectedPrompt = prompt;
      if ((answered = core.Channel.SendCOMCmd_GetPrompt("\r"))) break;
    }
    port.SetOpen(false);
  } catch (const ESerialException&) {
    // A line that fails under the probe has no unit on it yet.
  }
  return answered;
}

// Runs the script on the unit in a zarnik-cli of its own; its exit status, and what it
// said last.
int RunOnUnit(const StationOptions& o, const std::string& path, const std::string& name,
              int number, int toStation, std::string& firstError, std::string& message) {
  int events[2];
  if (pipe2(events, O_CLOEXEC) != 0) return kExitCannotStart;
  std::vector<std::string> args = {"zarnik-cli", "run", o.script, "--port", path, "--db", o.db,
                                   "--quiet", kUnitNameOption, name, kUnitEventsOption,
                                   std::to_string(events[1])};
  if (o.baud) args.insert(args.end(), {"--baud", std::to_string(*o.baud)});
  if (o.settings != kSettingsFileName) args.insert(args.end(), {"--settings", o.settings});
  if (!o.reportDir.empty())
    args.insert(args.end(),
                {"--report", o.reportDir + "/" + name + "-" + std::to_string(number) + ".json"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    fcntl(events[1], F_SETFD, 0);  // the run's end of the pipe survives exec
    setpgid(0, 0);                 // a Ctrl-C reaches it through this loop only
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execv("/proc/self/exe", argv.data());
    _exit(kExitNoProgram);
  }
  close(events[1]);
  if (pid < 0) {
    close(events[0]);
    return kExitCannotStart;
  }
  g_runPid = pid;
  if (g_stop) kill(pid, SIGINT);
  std::string pending;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(events[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      auto event = DecodeUnitEvent(std::string_view(pending).substr(0, nl));
      if (!event) continue;
      if (event->kind == UnitEvent::Kind::kError) firstError = event->text;
      if (event->kind == UnitEvent::Kind::kMessage) message = event->text;
      if (event->kind == UnitEvent::Kind::kFile)
        Say(toStation, "file " + std::filesystem::path(event->text).filename().string());
      if (event->kind == UnitEvent::Kind::kBar) Say(toStation, "bar " + event->text);
    }
  }
  close(events[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g_runPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The last reply the unit gave in its newest run (where its serial number is).
std::string LastReply(const std::string& db, const std::string& name) {
  HistoryDb history;
  std::vector<UnitRecord> runs;
  std::string error;
  HistoryDb::Filter filter;
  filter.unit = name;
  filter.limit = 1;
  if (!history.Open(db, error) || !history.Runs(filter, runs, error) || runs.empty() ||
      runs[0].replies.empty())
    return "";
  return runs[0].replies.back().reply;
}

// A fixed port's loop runs until stopped; a watched path's loop loads one unit and ends
// when the path goes away (or is made anew).
[[noreturn]] void PortLoop(const StationOptions& o, const std::string& path,
                           const std::string& name, bool watched, int firstNumber,
                           int toStation) {
  struct sigaction sa {};
  sa.sa_handler = OnPortSignal;  // no SA_RESTART: waits end at once
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::ostringstream quiet;
  ConsoleHost host({&quiet, false});
  const LoaderDefaults settings = read_defaults(o.settings, host);
  const ino_t identity = PathIdentity(path);
  auto present = [&] { return watched ? identity != 0 && PathIdentity(path) == identity : true; };
  const auto period = std::chrono::seconds(o.probeEverySec);
  for (int number = firstNumber; !g_stop && present(); ++number) {
    Say(toStation, "waiting");
    // One probe every period, start to start, so a unit is seen within a period.
    auto next = SteadyClock::now();
    while (!g_stop && present() && !UnitAnswers(path, settings, o.baud)) {
      next += period;
      PauseUntil(next);
    }
    if (g_stop || !present()) break;
    Say(toStation, "loading");
    std::string firstError, message;
    const int status = RunOnUnit(o, path, name, number, toStation, firstError, message);
    if (status == kExitComplete) {
      const std::string reply = LastReply(o.db, name);
      Say(toStation, "pass " + reply);
    } else {
      Say(toStation, "fail " + (firstError.empty() ? message : firstError));
    }
    if (watched) {
      // Done when the path goes away; nothing is sent to the unit meanwhile.
      while (!g_stop && present()) PauseUntil(SteadyClock::now() + std::chrono::seconds(1));
      break;
    }
    // The unit stays until it has gone: two probes in a row unanswered, or no device.
    for (int misses = 0; !g_stop && misses < 2 && DeviceThere(path);) {
      PauseUntil(SteadyClock::now() + period);
      if (g_stop) break;
      misses = UnitAnswers(path, settings, o.baud) ? 0 : misses + 1;
    }
  }
  if (watched && !g_stop) Say(toStation, "gone");
  _exit(0);
}

// ---- The station ----

int g_stationPipe[2] = {-1, -1};

extern "C" void OnStationSignal(int sig) {
  const char c = static_cast<char>(sig);
  (void)!write(g_stationPipe[1], &c, 1);
}

std::string ClockTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

struct Port {
  std::string path, name;
  bool watched = false;
  bool again = false;  // its path was made anew while this unit was still there
  StationPortState state;
  SteadyClock::time_point barLogged;
  pid_t pid = -1;
  int fd = -1;
  std::string pending;
};

Port MakePort(std::string path, std::string name, bool watched) {
  Port port;
  port.path = std::move(path);
  port.name = std::move(name);
  port.watched = watched;
  port.state.name = port.name;
  return port;
}

struct Watch {
  std::string folder, pattern;
  int wd = -1;
};

}  // namespace

int RunStationCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool help = false;
  const std::optional<StationOptions> parsed = Parse(args, help, err);
  if (help) {
    out << kCliStationUsage;
    return 0;
  }
  if (!parsed) return kExitCannotStart;
  const StationOptions& o = *parsed;
  // The record is the point: nothing is sent before it can be written.
  if (OpenedFile script = ScriptEngine::OpenScript(o.script); !script) {
    err << "zarnik-cli: cannot open script " << o.script << ": " << script.reason << "\n";
    return kExitCannotStart;
  }
  {
    HistoryDb db;
    std::string error;
    if (!db.Open(o.db, error)) {
      err << "zarnik-cli: " << error << "\n";
      return kExitCannotStart;
    }
  }
  if (pipe2(g_stationPipe, O_CLOEXEC) != 0) return kExitCannotStart;
  struct sigaction sa {};
  sa.sa_handler = OnStationSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // On a terminal, the count and a line per port redrawn in place; into a pipe, a line
  // per event.
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  const char* noColor = std::getenv("NO_COLOR");
  const bool colour = terminal && (noColor == nullptr || *noColor == '\0');
  const std::string since = ClockTime();
  int passed = 0, failed = 0;
  std::vector<Port> ports;
  size_t linesDrawn = 0;
  auto Erase = [&] {
    if (linesDrawn > 0) out << "\x1b[" << linesDrawn << "F\x1b[J";
    linesDrawn = 0;
  };
  auto Redraw = [&] {
    std::vector<StationPortState> states;
    for (const Port& p : ports) states.push_back(p.state);
    Erase();
    // No wrapping while drawing: a long line is cut at the edge, not folded onto two.
    out << "\x1b[?7l" << StationScreen(states, StationCount(passed, failed, since), colour)
        << "\x1b[?7h" << std::flush;
    linesDrawn = states.size() + 1;
  };
  // A line above the ports' lines.
  auto Show = [&](const std::string& line) {
    Erase();
    out << line << "\n";
    if (terminal) Redraw();
    out.flush();
  };
  std::vector<UnitPort> unitPorts;
  for (const std::string& p : o.ports) unitPorts.push_back({std::nullopt, p});
  const std::vector<std::string> names = UnitNames(unitPorts);
  const int inotify = o.watches.empty() ? -1 : inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  // A name's runs are numbered across its watched units, so --report-dir keeps them all.
  std::map<std::string, int> unitsSeen;
  auto startPort = [&](Port port) {
    const int firstNumber = ++unitsSeen[port.name];
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    out.flush();
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (inotify >= 0) close(inotify);
      signal(SIGINT, SIG_DFL);
      PortLoop(o, port.path, port.name, port.watched, firstNumber, fds[1]);
    }
    close(fds[1]);
    if (pid < 0) {
      close(fds[0]);
      return;
    }
    port.pid = pid;
    port.fd = fds[0];
    ports.push_back(std::move(port));
  };
  for (size_t i = 0; i < o.ports.size(); ++i) startPort(MakePort(o.ports[i], names[i], false));

  std::vector<Watch> watches;
  auto appeared = [&](const Watch& w, const std::string& entry) {
    if (fnmatch(w.pattern.c_str(), entry.c_str(), FNM_PERIOD) != 0) return;
    const std::string path = w.folder + "/" + entry;
    for (Port& p : ports) {
      if (p.watched && p.path == path && p.fd >= 0) {
        p.again = true;
        return;
      }
    }
    startPort(MakePort(path, entry, true));
  };
  for (const std::string& glob : o.watches) {
    const size_t slash = glob.rfind('/');
    Watch w{slash == 0 ? "" : glob.substr(0, slash), glob.substr(slash + 1)};
    w.wd = inotify < 0 ? -1
                       : inotify_add_watch(inotify, w.folder.empty() ? "/" : w.folder.c_str(),
                                           IN_CREATE | IN_MOVED_TO);
    if (w.wd < 0) {
      err << "zarnik-cli: cannot watch " << (w.folder.empty() ? "/" : w.folder) << ": "
          << std::strerror(errno) << "\n";
      for (const Port& p : ports) kill(p.pid, SIGTERM);
      return kExitCannotStart;
    }
    watches.push_back(w);
    Show("watching " + glob);
  }
  if (o.existing) {
    // Watched before listed, so a path made in between is seen (at worst twice: the
    // second sighting of a path being loaded is ignored).
    for (const Watch& w : watches) {
      std::error_code ec;
      for (const auto& entry :
           std::filesystem::directory_iterator(w.folder.empty() ? "/" : w.folder, ec))
        appeared(w, entry.path().filename().string());
    }
  }

  bool stopping = false;
  for (;;) {
    bool changed = false;
    std::vector<pollfd> fds = {{g_stationPipe[0], POLLIN, 0}, {inotify, POLLIN, 0}};
    for (const Port& p : ports) fds.push_back({p.fd, static_cast<short>(p.fd >= 0 ? POLLIN : 0), 0});
    bool open = false;
    for (const Port& p : ports) open = open || p.fd >= 0;
    if (!open && (stopping || watches.empty())) break;
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (!stopping && (fds[1].revents & POLLIN)) {
      alignas(inotify_event) char events[4096];
      for (ssize_t n; (n = read(inotify, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(events + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
          for (const Watch& w : watches)
            if (w.wd == e->wd && e->len > 0) appeared(w, e->name);
        }
      }
    }
    if (fds[0].revents & POLLIN) {
      char sig;
      if (read(g_stationPipe[0], &sig, 1) == 1 && !stopping) {
        stopping = true;
        Show("stopping: no new run starts; running ones stop as Stop does");
        for (const Port& p : ports)
          if (p.pid > 0) kill(p.pid, SIGINT);
      }
    }
    const size_t polled = fds.size() - 2;  // ports started from here on are not in fds
    for (size_t i = 0; i < polled; ++i) {
      Port& p = ports[i];
      if (p.fd < 0 || !(fds[i + 2].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(p.fd, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        close(p.fd);
        p.fd = -1;
        changed = true;
        int status;
        while (waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
        }
        p.pid = -1;
        if (p.watched && p.again && !stopping && DeviceThere(p.path)) {
          p.again = false;
          startPort(MakePort(p.path, p.name, true));  // may move `ports`: p is not used after
        }
        continue;
      }
      p.pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = p.pending.find('\n')) != std::string::npos; p.pending.erase(0, nl + 1)) {
        const std::string line = p.pending.substr(0, nl);
        const size_t space = line.find(' ');
        const std::string kind = line.substr(0, space);
        const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
        using Kind = StationPortState::Kind;
        StationPortState& state = p.state;
        bool event = true;  // worth a line into a pipe
        if (kind == "bar") {
          state.bar = text;
          // Into a log, the bar at most every 5 s, so a long file is never silence.
          const auto now = SteadyClock::now();
          event = now - p.barLogged >= std::chrono::seconds(5);
          if (event) p.barLogged = now;
        } else if (kind == "file") {
          state.file = text;
          state.bar.clear();
          p.barLogged = SteadyClock::now();
        } else {
          state = StationPortState{};
          state.name = p.name;
          state.text = text;
          state.kind = kind == "loading" ? Kind::kLoading
                       : kind == "pass"  ? Kind::kPass
                       : kind == "fail"  ? Kind::kFail
                       : kind == "gone"  ? Kind::kGone
                                         : Kind::kWaiting;
        }
        const bool ended = kind == "pass" || kind == "fail";
        if (ended) ++(kind == "pass" ? passed : failed);
        if (terminal) {
          if (kind == "fail") out << '\a';
        } else if (event) {
          out << p.name << "  " << StationStateText(state, false) << "\n";
          if (ended) out << StationCount(passed, failed, since) << "\n";
        }
        changed = true;
      }
    }
    // A watched unit that is done leaves no trace but its record.
    std::erase_if(ports, [](const Port& p) { return p.watched && p.pid < 0; });
    if (changed && terminal) Redraw();
    out.flush();
  }
  for (const Port& p : ports) {
    int status;
    while (p.pid > 0 && waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (inotify >= 0) close(inotify);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  out << "station ended: " << StationCount(passed, failed, since) << std::endl;
  return failed == 0 ? kExitComplete : kExitUnsuccessful;
}

}  // namespace zarnik
