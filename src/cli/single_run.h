// One run of a script on one unit (or once per PCI board), in this process: what
// `zarnik-cli run` does for a single unit, and what each unit's own zarnik-cli does
// among several (cli/multi_run.h).
//
// How it works: the Preflight checks, the settings file, then either the PCI board
// scan or the port (the simulated unit, the transcript's tap, the unit looked for as
// the window does at start), then the script on the engine with Ctrl-C as the Stop
// button. A bar, the record for --report and, for a unit among several, the events to
// the zarnik-cli that started it watch the run. Every line goes to the run's stream.
//
// Threading: the calling thread is the run's window thread. In RunUnit, Ctrl-C,
// SIGTERM and SIGHUP are taken for the whole run: while the script runs the first
// stops it as the Stop button does; a second, or one before the script has started,
// ends the process at once (exit status 128 + the signal) with the record written
// as it stands: the files that went out, the replies, the port and its rate.
#pragma once

#include <ostream>
#include <string>

#include "cli/cli_options.h"
#include "cli/multi_run.h"
#include "cli/run_report.h"

namespace zarnik {

class Host;
class ProgressModel;
class ScriptEngine;

// Where a run's lines go; terminal: the stream is a terminal (the bar redraws in place).
struct RunConsole {
  std::ostream& out;
  bool terminal = false;
};

// What watches a run besides its bar: the record for --report and, for a unit run
// among several, the events to the zarnik-cli that started it.
struct RunWatchers {
  UnitRecorder& record;
  UnitEvents* events = nullptr;
  void Attach(ProgressModel& progress, Host& host, ScriptEngine& engine);
  void Detach(ProgressModel& progress);
};

// How a run ended: its exit status (cli/unit_protocol.h) and, when it could not
// start, why (also written to the stream as "zarnik-cli: <why>").
struct RunEnd {
  int status = 0;
  std::string failText;
  std::string firstError;  // the first error message as it was shown ("" for none)
};

RunEnd RunSingle(const CliOptions& o, RunWatchers& watchers, RunConsole console);

// RunSingle with its record: written to --report and --db, and for a unit among
// several sent to the zarnik-cli that started it, whatever the outcome and however
// the run ends. Returns the exit status.
int RunUnit(const CliOptions& o, RunConsole console);

}  // namespace zarnik
