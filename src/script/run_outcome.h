// RunOutcome: whether a script run succeeded; the one rule behind the exit status
// of zarnik-cli and of automatic mode.
//
// A run succeeded when it ended "Upload Complete." and no error message was shown
// while it ran. The outcome box alone is not enough: a file that cannot be named
// (_LF) shows its error, the rest of its chain is skipped, and the run still ends
// "Upload Complete.". An error message is any box whose text begins with "Error"
// (the commands' and the link's "Error! ...", the transfer's "Error opening ...")
// or with "Timeout error" (the link's command time-out).
//
// Usage: make the RunOutcome on the run's Host just before the run, so that boxes
// shown before it (the settings file's baud message) do not count; it watches
// every box the Host shows until it is destroyed.
//
//   A run started through RunScript (zarnik-cli):
//     RunOutcome run(host);
//     UploadOutcome outcome = engine.RunScript(path);
//     int status = run.Succeeded(outcome) ? 0 : 1;
//
//   Automatic mode, which sets ScriptFileName and calls read_ini itself, with no
//   outcome box:
//     RunOutcome run(host);
//     engine.ScriptFileName = settings.AutoScriptPath;
//     bool read = engine.read_ini();
//     int status = run.Succeeded(read, progress.Cancelled) ? 0 : 1;
//
// Window thread only, like the run it watches.
#pragma once

#include <string_view>

#include "platform/host.h"
#include "script/script_engine.h"

namespace zarnik {

class RunOutcome {
 public:
  explicit RunOutcome(Host& host);
  ~RunOutcome();
  RunOutcome(const RunOutcome&) = delete;
  RunOutcome& operator=(const RunOutcome&) = delete;

  static bool IsErrorMessage(std::string_view text);
  bool ErrorShown() const { return errorShown_; }

  // A run through RunScript: it ended "Upload Complete." and showed no error.
  bool Succeeded(UploadOutcome outcome) const;
  // A run through read_ini alone: it read to the end with Cancelled clear and
  // showed no error.
  bool Succeeded(bool readIniResult, bool cancelled) const;

 private:
  Host& host_;
  int watchId_;
  bool errorShown_ = false;
};

}  // namespace zarnik
