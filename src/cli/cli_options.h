// Command line of zarnik-cli: parsed into CliOptions, or a usage error with a
// message. Kept apart from main so the rules can be tested without a port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zarnik {

// One unit of a run: a COM number or a device path, as named on the command line.
struct UnitPort {
  std::optional<int> com;
  std::string path;
  bool operator==(const UnitPort&) const = default;
};

struct CliOptions {
  enum class Command { kNone, kHelp, kVersion, kRun, kCheck, kPorts, kHistory, kStation };
  Command command = Command::kNone;
  bool helpForRun = false;
  // check, ports and history parse their own arguments (cli/check_command.h,
  // cli/ports_command.h, cli/history_command.h).
  std::vector<std::string> commandArgs;

  std::string scriptPath;
  std::optional<int> comNumber;  // --com N
  std::string portPath;          // --port PATH
  std::optional<int32_t> baud;   // --baud B
  std::string settingsPath = "LoaderDefault.ini";
  bool simulate = false;
  bool pci = false;  // --pci: run once per PCI board instead of over a COM port
  bool noProbe = false;  // --no-probe: open the port without looking for the unit
  bool noCheck = false;  // --no-check: no check of the script's files before the run
  bool quiet = false;
  std::string transcriptPath;
  std::string reportPath;  // --report FILE: a JSON record of the run ("-": to stdout)
  std::string dbPath;      // --db FILE: the history database the run is recorded in

  // Every --com and --port in the order given. Two or more: the script runs on each
  // unit at once (comNumber and portPath then stay empty); one: it is also in those.
  std::vector<UnitPort> units;
  // Set by zarnik-cli for a unit it runs among several: the unit's name and the
  // descriptor on which it reports progress and its record.
  std::string unitName;
  int unitEventsFd = -1;

  // Faults and extras of the simulated unit (--simulate only).
  bool simAbsent = false;
  bool simNeverLoader = false;
  bool simWrongChecksum = false;
  uint32_t simReplyDelayMs = 2;
  uint32_t simBaud = 0;
  std::string simSaveImages;
};

// Parses argv[1..]; on a usage error returns nullopt and sets error.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kCliUsage;
extern const char* const kCliRunUsage;

}  // namespace zarnik
