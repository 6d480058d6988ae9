#include "cli/cli_options.h"

#include <charconv>

#include "cli/unit_protocol.h"

namespace zarnik {

const char* const kCliUsage =
    "zarnik-cli: runs a loader script against a unit, without a window.\n"
    "\n"
    "Usage:\n"
    "  zarnik-cli run SCRIPT [options]   run SCRIPT once (see: zarnik-cli run --help)\n"
    "  zarnik-cli run SCRIPT --port A --port B [--com N ...] [--report FILE]\n"
    "                                    run SCRIPT on several units at once\n"
    "  zarnik-cli check SCRIPT           check SCRIPT without a unit (zarnik-cli check --help)\n"
    "  zarnik-cli ports [--probe]        list the serial ports, who holds them, which answers\n"
    "                                    (zarnik-cli ports --help)\n"
    "  zarnik-cli station SCRIPT --port A [--port B ...]\n"
    "                                    load every unit connected, one after another,\n"
    "                                    recorded in the history (zarnik-cli station --help)\n"
    "  zarnik-cli history [--unit TEXT]  the runs recorded in the history database\n"
    "                                    (zarnik-cli history --help)\n"
    "  zarnik-cli --help                 this text\n"
    "  zarnik-cli --version              the program's name and version\n"
    "\n"
    "On a factory bench:\n"
    "  zarnik-cli ports --probe               which port the unit answers on ('#' or '>')\n"
    "  zarnik-cli check load.sld              the script checked before it meets the unit\n"
    "  zarnik-cli run load.sld --port /dev/ttyUSB0\n"
    "\n"
    "Exit status of run: 0 \"Upload Complete.\" with no error message shown during the\n"
    "run, 1 \"Unsuccessful.  Upload terminated by user.\" or an error message shown,\n"
    "2 usage error, a script or port that cannot be opened, or no unit found.\n"
    "check: 0 no problems, 1 problems found, 2 the script cannot be read. ports: 0; with\n"
    "--probe 1 when no unit answered. Usage errors: 2.\n";

const char* const kCliRunUsage =
    "Usage: zarnik-cli run SCRIPT [options]\n"
    "\n"
    "Runs SCRIPT once, as picking it in the window does: the stop flag is cleared, the\n"
    "script is read line by line and each command runs as soon as its line is read.\n"
    "Settings come from LoaderDefault.ini in the current folder, if present.\n"
    "\n"
    "Before the script, the unit is looked for as the desktop program does at start:\n"
    "a carriage return must be answered with the first prompt character (\"#\") or,\n"
    "after that wait of 3.6 s has run out, the second (\">\"). Without --com or --port,\n"
    "the settings file's port is tried first, then COM1 and COM2; if none answers, the\n"
    "settings file's port is opened anyway. zarnik-cli says which port answered.\n"
    "Before the port is opened, the script is checked as 'zarnik-cli check' does: a file\n"
    "named by _LF or _LK that cannot be opened (not on a test line) ends the run there,\n"
    "with check's line (exit status 2). A port that cannot be opened is named by\n"
    "its cause: permission (with the dialout hint), held by another program (its PID and\n"
    "name), not a serial port, or a baud rate the device does not accept.\n"
    "\n"
    "Options take their value as the next word or after '=' (--baud=115200).\n"
    "\n"
    "The unit:\n"
    "  --com N             probe COM port N only: the device named by $ZARNIK_COM<N>,\n"
    "                      else /dev/ttyS<N-1>\n"
    "  -p, --port PATH     probe a device path instead (a USB adapter, a pty)\n"
    "                      --com and --port given more than once, in any mix: the script\n"
    "                      runs on every unit at once (see \"Several units\" below)\n"
    "  --no-probe          open the port (--com, --port, else the settings file's port,\n"
    "                      else COM1) without looking for the unit\n"
    "  -b, --baud B        line rate (default: the settings file's, else 38400)\n"
    "  --no-check          skip the check of the script's files before the run\n"
    "  --settings FILE     read this settings file instead of ./LoaderDefault.ini\n"
    "  --simulate          start the simulated unit on a pty, probe it and run against it\n"
    "    --sim-absent          the simulated unit never answers\n"
    "    --sim-never-loader    it refuses loader mode\n"
    "    --sim-wrong-checksum  it reports every load as bad\n"
    "    --sim-reply-delay MS  it answers MS milliseconds late (default 2)\n"
    "    --sim-baud B          it reads and answers at line rate B\n"
    "    --sim-save-images DIR it saves every loaded file as DIR/image-<n>.bin\n"
    "  --pci               run over the PCI boards instead of a COM port: the script runs\n"
    "                      once per board, in ascending board ID, and each file's line\n"
    "                      names its board. Simulated boards come from $ZARNIK_PCI_SIM\n"
    "                      (\"0:3,1:5\": device 0 carries ID 3, device 1 ID 5), real ones\n"
    "                      from $ZARNIK_PCI_MAP or $ZARNIK_PCI_MAP_FILE (see the README).\n"
    "                      The driver's lines about devices it cannot open go to stdout.\n"
    "\n"
    "Output (all on stderr):\n"
    "  message boxes as their text, status texts prefixed \"status: \", and on a terminal a\n"
    "  progress bar per file with its name, size, checksum and load address, the bytes\n"
    "  sent, the rate and the time left; elsewhere (a pipe, a log) a line before each\n"
    "  probe, a line per file, a progress line at least every 5 s while its data goes\n"
    "  out, and one with the time and rate when it has gone out; a prompt wait that lasts\n"
    "  over a second gets a line (\"waiting up to 14.6 s for '>' ...\"). The last line is the\n"
    "  verdict: \"zarnik-cli: completed\" (exit 0) or \"zarnik-cli: FAILED: \" and the\n"
    "  first error shown, else the final message (exit 1).\n"
    "  -q, --quiet         only errors and the verdict (with --pci also why the PCI link\n"
    "                      is off)\n"
    "  --transcript FILE   everything that went over the line, both ways, time-stamped\n"
    "                      (with --pci: each board's mailbox bytes)\n"
    "  --report FILE       a JSON record of the run, written when it ends, whatever the\n"
    "                      outcome: script, port, start and end (UTC), outcome, message,\n"
    "                      errors, and per file loaded its path, size, checksum, address,\n"
    "                      version, SHA-256, blocks, time and with --pci its board, and\n"
    "                      each _QC query with the reply kept (see the README for the\n"
    "                      schema); --report - writes it to stdout\n"
    "  --db FILE           also record the run in the history database FILE (SQLite, read\n"
    "                      back by zarnik-cli history); one that cannot be opened stops\n"
    "                      the run before anything is sent\n"
    "\n"
    "Several units: each unit runs in a zarnik-cli of its own with its own start-up\n"
    "probe, so one that fails or hangs up does not stop or slow the others. A unit is\n"
    "named after its port (COM3, ttyUSB0, pts5); its lines are prefixed [name], and on a\n"
    "terminal it keeps a progress line of its own. --transcript FILE writes one file per\n"
    "unit with the name before the extension (run.log -> run-ttyUSB0.log); --report\n"
    "writes one record per unit. A summary table ends the run: unit, outcome, time,\n"
    "message; its last line says how many units completed and how many FAILED. The\n"
    "same device named twice (a by-id link and its node) is a usage error. Ctrl-C stops\n"
    "every unit as Stop does.\n"
    "  zarnik-cli run bench.sld --port /dev/ttyUSB0 --port /dev/ttyUSB1 --com 3 \\\n"
    "      --baud 115200 --transcript logs/run.log --report logs/report.json\n"
    "\n"
    "Ctrl-C acts as the Stop button: the run ends the way Stop ends it (the file being\n"
    "sent is finished, then the script stops; a prompt wait ends at once).\n"
    "A second Ctrl-C ends at once. SIGTERM and SIGHUP do the same. Ended at once, or\n"
    "before the script started (during the probe), the run still writes its record\n"
    "(--report, --db) as it stands: the files that went out, the replies, the port and\n"
    "its rate, \"ended by Ctrl-C\" (exit status 128 + the signal's number, 130 for Ctrl-C).\n"
    "\n"
    "Exit status: 0 \"Upload Complete.\" with no error message shown during the run,\n"
    "1 \"Unsuccessful.  Upload terminated by user.\" or an error message shown,\n"
    "2 usage error, a script or port that cannot be opened, no unit found, or with\n"
    "--pci no usable PCI board. With several units: 0 when every unit completed, 1 when\n"
    "any did not (also one whose port could not be opened), 2 for a usage error or a\n"
    "script, settings file or report that cannot be opened.\n";

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// Each unit once; a single one is also the run's one port.
bool CheckUnits(CliOptions& o, std::string& error) {
  for (size_t i = 0; i < o.units.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (!(o.units[i] == o.units[j])) continue;
      const UnitPort& u = o.units[i];
      error = (u.com ? "--com " + std::to_string(*u.com) : "--port " + u.path) + " is named twice";
      return false;
    }
  }
  if (o.units.size() == 1) {
    o.comNumber = o.units[0].com;
    o.portPath = o.units[0].path;
  }
  return true;
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  CliOptions o;
  if (args.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  size_t i = 0;
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    o.command = CliOptions::Command::kHelp;
    return o;
  }
  if (args[0] == "--version") {
    o.command = CliOptions::Command::kVersion;
    return o;
  }
  if (args[0] == "check" || args[0] == "ports" || args[0] == "history" ||
      args[0] == "station") {
    o.command = args[0] == "check"     ? CliOptions::Command::kCheck
                : args[0] == "ports"   ? CliOptions::Command::kPorts
                : args[0] == "history" ? CliOptions::Command::kHistory
                                       : CliOptions::Command::kStation;
    o.commandArgs.assign(args.begin() + 1, args.end());
    return o;
  }
  if (args[0] != "run") {
    error = "unknown command '" + args[0] + "'";
    return std::nullopt;
  }
  o.command = CliOptions::Command::kRun;
  ++i;
  // "--opt=value" is "--opt value"; -p, -b and -q are --port, --baud and --quiet.
  std::optional<std::string> inlineValue;
  auto value = [&](const std::string& flag, std::string& out) {
    if (inlineValue) {
      out = *inlineValue;
      inlineValue.reset();
      return true;
    }
    if (i + 1 >= args.size()) {
      error = flag + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  for (; i < args.size(); ++i) {
    std::string a = args[i];
    inlineValue.reset();
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.resize(eq);
    }
    if (a == "-p") a = "--port";
    if (a == "-b") a = "--baud";
    if (a == "-q") a = "--quiet";
    std::string v;
    if (a == "--help" || a == "-h") {
      o.helpForRun = true;
      return o;
    } else if (a == "--com") {
      int n = 0;
      if (!value(a, v)) return std::nullopt;
      if (!ParseNumber(v, n) || n < 1 || n > 255) {
        error = "--com needs a port number from 1 to 255, not '" + v + "'";
        return std::nullopt;
      }
      o.units.push_back({n, ""});
    } else if (a == "--port") {
      if (!value(a, v)) return std::nullopt;
      o.units.push_back({std::nullopt, v});
    } else if (a == "--baud") {
      int32_t b = 0;
      if (!value(a, v)) return std::nullopt;
      if (!ParseNumber(v, b) || b <= 0) {
        error = "--baud needs a positive number, not '" + v + "'";
        return std::nullopt;
      }
      o.baud = b;
    } else if (a == "--settings") {
      if (!value(a, o.settingsPath)) return std::nullopt;
    } else if (a == "--simulate") {
      o.simulate = true;
    } else if (a == "--pci") {
      o.pci = true;
    } else if (a == "--no-probe") {
      o.noProbe = true;
    } else if (a == "--no-check") {
      o.noCheck = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--transcript") {
      if (!value(a, o.transcriptPath)) return std::nullopt;
    } else if (a == "--report") {
      if (!value(a, o.reportPath)) return std::nullopt;
    } else if (a == "--db") {
      if (!value(a, o.dbPath)) return std::nullopt;
    } else if (a == kUnitNameOption) {
      if (!value(a, o.unitName)) return std::nullopt;
    } else if (a == kUnitEventsOption) {
      if (!value(a, v)) return std::nullopt;
      if (!ParseNumber(v, o.unitEventsFd) || o.unitEventsFd < 0) {
        error = "--unit-events needs a file descriptor, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--sim-absent") {
      o.simAbsent = true;
    } else if (a == "--sim-never-loader") {
      o.simNeverLoader = true;
    } else if (a == "--sim-wrong-checksum") {
      o.simWrongChecksum = true;
    } else if (a == "--sim-reply-delay" || a == "--sim-baud") {
      uint32_t n = 0;
      if (!value(a, v)) return std::nullopt;
      if (!ParseNumber(v, n)) {
        error = a + " needs a number, not '" + v + "'";
        return std::nullopt;
      }
      (a == "--sim-baud" ? o.simBaud : o.simReplyDelayMs) = n;
    } else if (a == "--sim-save-images") {
      if (!value(a, o.simSaveImages)) return std::nullopt;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option '" + a + "'";
      return std::nullopt;
    } else if (o.scriptPath.empty()) {
      o.scriptPath = a;
    } else {
      error = "more than one script given ('" + o.scriptPath + "', '" + a + "')";
      return std::nullopt;
    }
    if (inlineValue) {
      error = a + " takes no value ('" + args[i] + "')";
      return std::nullopt;
    }
  }
  if (o.scriptPath.empty()) {
    error = "run needs a script file";
    return std::nullopt;
  }
  if (!CheckUnits(o, error)) return std::nullopt;
  if (o.simulate && !o.units.empty()) {
    error = "--simulate runs against its own unit; leave out --com and --port";
    return std::nullopt;
  }
  if (o.pci && (o.simulate || o.noProbe || !o.units.empty())) {
    error = "--pci runs over the PCI boards; leave out --com, --port, --simulate and --no-probe";
    return std::nullopt;
  }
  bool simExtras = o.simAbsent || o.simNeverLoader || o.simWrongChecksum || o.simBaud ||
                   o.simReplyDelayMs != 2 || !o.simSaveImages.empty();
  if (simExtras && !o.simulate) {
    error = "the --sim-... options need --simulate";
    return std::nullopt;
  }
  return o;
}

}  // namespace zarnik
