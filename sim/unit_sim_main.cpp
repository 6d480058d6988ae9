// zarnik-unit-sim: the simulated unit on a pty, for end-to-end tests and demos without hardware.
// Prints the pty's slave path on stdout, then serves the unit until SIGINT/SIGTERM/SIGHUP or,
// with --hang-up-after, until the unit hangs up. SIGUSR1 pulls the cable from the unit, SIGUSR2
// connects a fresh one with the next serial number. Exit status 0 then, 1 on a failure, 2 on bad
// usage.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>

#include "pty_unit.h"

namespace {

using zarnik::sim::PtyUnit;
using zarnik::sim::PtyUnitConfig;
using zarnik::sim::PtyUnitEnd;

struct Settings {
  PtyUnitConfig config;
  std::string pathFile;
  std::string linkPath;
  bool everyGiven = false;
  bool help = false;
};

template <typename T>
bool ParseNumber(const std::string& text, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool ParseChar(const std::string& text, char& out) {
  if (text.size() != 1) return false;
  out = text[0];
  return true;
}

// \r \n \t \\ and \xHH, so control characters can be given on a command line.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case '\\': out.push_back('\\'); break;
      case 'x': {
        unsigned value = 0;
        if (i + 2 >= text.size()) return false;
        const char* hex = text.data() + i + 1;
        auto [ptr, ec] = std::from_chars(hex, hex + 2, value, 16);
        if (ec != std::errc() || ptr != hex + 2) return false;
        out.push_back(static_cast<char>(value));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

struct CliOption {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* help;
  std::function<bool(Settings&, const std::string&)> apply;
};

const CliOption kOptions[] = {
    {"--absent", nullptr, "the unit never echoes nor answers",
     [](Settings& s, const std::string&) { return s.config.unit.absent = true; }},
    {"--never-loader", nullptr, "ignore the loader-mode command (stays at the monitor prompt)",
     [](Settings& s, const std::string&) { return s.config.unit.neverLoader = true; }},
    {"--reply-delay", "MS", "time from a CR to the first answer byte (default 2)",
     [](Settings& s, const std::string& v) { return ParseNumber(v, s.config.unit.replyDelayMs); }},
    {"--wrong-checksum", nullptr, "report every load as bad",
     [](Settings& s, const std::string&) { return s.config.unit.wrongChecksum = true; }},
    {"--hang-up-after", "N", "go dead after N received bytes, close the pty and exit",
     [](Settings& s, const std::string& v) {
       return ParseNumber(v, s.config.unit.hangUpAfterBytes) && s.config.unit.hangUpAfterBytes >= 0;
     }},
    {"--baud", "N", "pace output and the reading of input at N/10 bytes per second",
     [](Settings& s, const std::string& v) { return ParseNumber(v, s.config.unit.baud); }},
    {"--unsolicited", "TEXT", "text printed unprompted (escapes \\r \\n \\t \\\\ \\xHH)",
     [](Settings& s, const std::string& v) { return Unescape(v, s.config.unit.unsolicited); }},
    {"--every", "MS", "period of the unsolicited text (default 1000)",
     [](Settings& s, const std::string& v) {
       s.everyGiven = true;
       return ParseNumber(v, s.config.unit.unsolicitedEveryMs);
     }},
    {"--monitor-prompt", "C", "monitor-mode prompt character (default #)",
     [](Settings& s, const std::string& v) { return ParseChar(v, s.config.unit.monitorPrompt); }},
    {"--loader-prompt", "C", "loader-mode prompt character (default >)",
     [](Settings& s, const std::string& v) { return ParseChar(v, s.config.unit.loaderPrompt); }},
    {"--loader-cmd", "TEXT", "loader-mode command, sent with CR (default LOADR)",
     [](Settings& s, const std::string& v) {
       s.config.unit.loaderModeCmd = v;
       return !v.empty();
     }},
    {"--log", "FILE", "write received lines and a summary of each load to FILE",
     [](Settings& s, const std::string& v) {
       s.config.logPath = v;
       return !v.empty();
     }},
    {"--save-images", "DIR", "write each finished load as DIR/image-<n>.bin (n from 1)",
     [](Settings& s, const std::string& v) {
       s.config.imageDir = v;
       return !v.empty();
     }},
    {"--path-file", "FILE", "also write the pty path to FILE",
     [](Settings& s, const std::string& v) {
       s.pathFile = v;
       return !v.empty();
     }},
    {"--link", "PATH", "make PATH a symlink to the pty (removed on exit)",
     [](Settings& s, const std::string& v) {
       s.linkPath = v;
       return !v.empty();
     }},
    {"--serial-number", "TEXT", "serial number of the first unit (default ZK-004711); "
     "each unit connected by SIGUSR2 gets the next",
     [](Settings& s, const std::string& v) {
       s.config.unit.serialNumber = v;
       return !v.empty();
     }},
    {"--help", nullptr, "show this text",
     [](Settings& s, const std::string&) { return s.help = true; }},
};

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "Usage: zarnik-unit-sim [OPTION]...\n"
               "Runs the simulated unit on a pseudo-terminal and prints the terminal's path.\n"
               "SIGUSR1 disconnects the unit (it goes silent), SIGUSR2 connects a fresh one.\n\n");
  for (const CliOption& option : kOptions) {
    std::string left = option.name;
    if (option.value != nullptr) left += std::string(" ") + option.value;
    std::fprintf(to, "  %-22s %s\n", left.c_str(), option.help);
  }
}

bool ParseArgs(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    const CliOption* match = nullptr;
    for (const CliOption& option : kOptions) {
      if (arg == option.name) match = &option;
    }
    if (match == nullptr) {
      std::fprintf(stderr, "zarnik-unit-sim: unknown option %s\n", arg.c_str());
      return false;
    }
    if (match->value != nullptr && !inlineValue) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zarnik-unit-sim: %s needs %s\n", match->name, match->value);
        return false;
      }
      value = argv[++i];
    } else if (match->value == nullptr && inlineValue) {
      std::fprintf(stderr, "zarnik-unit-sim: %s takes no value\n", match->name);
      return false;
    }
    if (!match->apply(settings, value)) {
      std::fprintf(stderr, "zarnik-unit-sim: bad value for %s: %s\n", match->name, value.c_str());
      return false;
    }
  }
  if (!settings.config.unit.unsolicited.empty() && !settings.everyGiven)
    settings.config.unit.unsolicitedEveryMs = 1000;
  return true;
}

int gStopWrite = -1;

void OnControlSignal(int sig) {
  const int saved = errno;
  const char byte = sig == SIGUSR1   ? zarnik::sim::kControlDisconnect
                    : sig == SIGUSR2 ? zarnik::sim::kControlConnect
                                     : zarnik::sim::kControlStop;
  [[maybe_unused]] const ssize_t n = write(gStopWrite, &byte, 1);
  errno = saved;
}

// Returns the read end of a self-pipe that carries a control byte per SIGINT, SIGTERM, SIGHUP
// (stop), SIGUSR1 (disconnect) and SIGUSR2 (connect).
int InstallControlSignals() {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  gStopWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnControlSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return fds[0];
}

// Written under a temporary name and renamed, so a reader never sees half a path.
bool WritePathFile(const std::string& file, const std::string& path) {
  const std::string tmp = file + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = std::fprintf(f, "%s\n", path.c_str()) > 0;
  if (std::fclose(f) != 0 || !ok) return false;
  return std::rename(tmp.c_str(), file.c_str()) == 0;
}

// Replaces a stale symlink, never a real file.
bool MakeLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      return false;
    }
    unlink(link.c_str());
  }
  return symlink(target.c_str(), link.c_str()) == 0;
}

// Only our own link goes: another instance may have taken the name over meanwhile.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[4096];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n >= 0 && std::string_view(buf, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, settings)) {
    std::fprintf(stderr, "Try 'zarnik-unit-sim --help'.\n");
    return 2;
  }
  if (settings.help) {
    PrintUsage(stdout);
    return 0;
  }
  const int controlFd = InstallControlSignals();
  if (controlFd < 0) {
    std::perror("zarnik-unit-sim: pipe");
    return 1;
  }
  PtyUnit unit(settings.config);
  std::string error;
  if (!unit.Open(error)) {
    std::fprintf(stderr, "zarnik-unit-sim: %s\n", error.c_str());
    return 1;
  }
  const std::string& path = unit.SlavePath();
  if (!settings.pathFile.empty() && !WritePathFile(settings.pathFile, path)) {
    std::fprintf(stderr, "zarnik-unit-sim: cannot write %s: %s\n", settings.pathFile.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!settings.linkPath.empty() && !MakeLink(settings.linkPath, path)) {
    std::fprintf(stderr, "zarnik-unit-sim: cannot link %s: %s\n", settings.linkPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);

  const PtyUnitEnd end = unit.Run(controlFd, error);
  unit.Close();  // a hung-up unit: the client sees the line vanish
  if (!settings.linkPath.empty()) RemoveLink(settings.linkPath, path);
  if (end == PtyUnitEnd::kFailed) {
    std::fprintf(stderr, "zarnik-unit-sim: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
