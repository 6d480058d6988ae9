// zarnik-cli: runs a loader script against a unit without a window, for batch and
// production use. One run, like the operator's pick of a script; the exit status
// tells the outcome (0 complete with no error shown, 1 unsuccessful or an error
// shown, 2 nothing could be started).
#include <unistd.h>

#include <iostream>

#include "cli/check_command.h"
#include "cli/cli_options.h"
#include "cli/history_command.h"
#include "cli/station.h"
#include "cli/multi_run.h"
#include "cli/ports_command.h"
#include "cli/single_run.h"
#include "cli/unit_protocol.h"
#include "zarnik_version.h"

int main(int argc, char** argv) {
  using namespace zarnik;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = ParseCliOptions(args, error);
  if (!options) {
    std::cerr << "zarnik-cli: " << error << "\nTry 'zarnik-cli --help'." << std::endl;
    return kExitCannotStart;
  }
  if (options->command == CliOptions::Command::kCheck)
    return RunCheckCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kPorts)
    return RunPortsCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kHistory)
    return RunHistoryCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kStation)
    return RunStationCommand(options->commandArgs, std::cout, std::cerr);
  if (options->command == CliOptions::Command::kHelp) {
    std::cout << kCliUsage;
    return 0;
  }
  if (options->command == CliOptions::Command::kVersion) {
    std::cout << "zarnik-cli " << kZarnikVersion << '\n';
    return 0;
  }
  if (options->helpForRun) {
    std::cout << kCliRunUsage;
    return 0;
  }
  if (options->units.size() > 1) return RunUnits(*options);
  return RunUnit(*options, {std::cerr, isatty(STDERR_FILENO) != 0});
}
