// zarnik-cli history: the runs in the history database, newest first, as a table
// or as one JSON object per run per line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zarnik {

extern const char* const kCliHistoryUsage;

// args: what follows "history". Exit status: 0 (also when nothing matches), 2 usage
// error or a database that cannot be read.
int RunHistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace zarnik
