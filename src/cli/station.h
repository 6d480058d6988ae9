// zarnik-cli station: loads every unit connected to the bench's ports, one after
// another on each port, and records each run in the history database.
//
// How it works: each port has a loop of its own in a process of its own (so a unit
// that fails, hangs or is pulled out never stops or slows another port): probe every
// --probe-every seconds until a unit answers the start-up probe, run the script on it
// in a `zarnik-cli run SCRIPT --port PATH` of its own (with --db, so the run records
// itself), then probe until the unit has gone (two probes unanswered in a row, or the
// device vanished) before waiting for the next one. A port's loop tells this process
// what happens, one line each; this process prints them with the port's name and a
// running count. Ctrl-C: no new run starts, running ones stop as Stop does, a summary.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zarnik {

extern const char* const kCliStationUsage;

// args: what follows "station". Exit status: 0 when no run failed, 1 when one did,
// 2 usage error, a script or a history database that cannot be used.
int RunStationCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace zarnik
