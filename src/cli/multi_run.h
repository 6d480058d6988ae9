// Several units at once: `zarnik-cli run SCRIPT --port A --port B --com 3 ...`.
//
// How it works: each unit runs in a zarnik-cli of its own, started from this one
// with that unit's port alone, so it does exactly what a single run does (its own
// start-up probe, engine, progress, transcript) and a unit that fails, hangs up or
// crashes cannot stop or slow the others: they share no thread, lock or memory.
// A unit's process writes its messages to a pipe, which this process shows line by
// line with the unit's name, and reports its progress bar, its final message and
// its record over a second pipe (UnitEvents), one event per line (cli/unit_protocol.h).
// On a terminal each unit keeps one line at the bottom, redrawn in place at most
// ten times a second; elsewhere only the prefixed lines are written. Ctrl-C is
// passed on to every unit, where it acts as Stop (twice: ends at once). At the end
// a summary lists each unit with its outcome, time and message.
#pragma once

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_progress.h"
#include "cli/unit_protocol.h"
#include "script/progress_model.h"
#include "script/transfer_meter.h"

namespace zarnik {

// "COM3" for --com 3; the device's file name for --port ("ttyUSB0", a symlink's
// name), with its folder's name before a bare number ("pts5"); only letters,
// digits, '.', '-' and '_', so it fits in a file name.
std::string UnitName(const UnitPort& unit);
// The units' names, made unique with "-2", "-3" after a name seen before.
std::vector<std::string> UnitNames(const std::vector<UnitPort>& units);
// A unit's own file: the unit's name before the extension (run.log -> run-COM3.log).
std::string PathForUnit(const std::string& path, const std::string& unit);
// The arguments of the zarnik-cli that runs unit `index` alone.
std::vector<std::string> UnitArgs(const CliOptions& o, size_t index, const std::string& name,
                                  int eventsFd);

// A unit's side of the event pipe.
class UnitEvents : public ProgressObserver {
 public:
  explicit UnitEvents(int fd, MsClock clock = SteadyMs) : fd_(fd), clock_(std::move(clock)) {}
  void ProgressShown(const ProgressModel& m) override;
  void ProgressStepped(const ProgressModel& m) override;
  void ProgressHidden(const ProgressModel& m) override;
  // Ends the unit's run: its last message, first error (may be empty) and record.
  void Finish(const std::string& message, const std::string& firstError,
              const std::string& recordJson);

 private:
  void Send(UnitEvent::Kind kind, const std::string& text);
  int fd_;
  MsClock clock_;
  TransferMeter meter_;
  uint64_t lastBarMs_ = 0;
};

// Runs o.scriptPath on every unit of o.units at once; the exit status is 0 when
// every unit completed, 1 when any did not, 2 when nothing could be started.
int RunUnits(const CliOptions& o);

}  // namespace zarnik
