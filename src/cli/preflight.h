// What `zarnik-cli run` checks before anything is started or sent, the same for one
// unit and for several, so the same mistake ends with the same exit status (2): the
// script can be read, a settings file named with --settings too, the report and
// transcript files can be written, and the history database (--db) opened. A port that is missing or does not answer is its
// unit's own failure, found by that unit's run, so among several units the others
// still run.
#pragma once

#include <optional>
#include <string>

#include "cli/cli_options.h"

namespace zarnik {

// Why the run cannot start (without the "zarnik-cli: " before it), or nullopt.
std::optional<std::string> Preflight(const CliOptions& o);

}  // namespace zarnik
