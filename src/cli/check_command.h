// zarnik-cli check SCRIPT: the script checked without a unit, its notes printed
// the way a compiler prints them ("demo.sld:12: unknown command _XY").
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zarnik {

extern const char* const kCliCheckUsage;

// args: what follows "check". Notes go to out, usage errors to err. Exit status:
// 0 no problems (warnings may have been printed), 1 problems found, 2 usage error
// or a script that cannot be read.
int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace zarnik
