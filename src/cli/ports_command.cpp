#include "cli/ports_command.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <sstream>

#include "app/settings.h"
#include "app/startup.h"
#include "platform/console_host.h"
#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

const char* const kCliPortsUsage =
    "Usage: zarnik-cli ports [--probe [--baud B] [--settings FILE]]\n"
    "\n"
    "Lists this machine's serial devices: /dev/ttyUSB*, /dev/ttyACM*, the /dev/ttyS*\n"
    "that have a UART behind them, and every device a ZARNIK_COM<n> setting names\n"
    "(a pty, say). For each: the COM numbers that lead to it (COM n is $ZARNIK_COM<n>,\n"
    "else /dev/ttyS<n-1>), its /dev/serial/by-id names, and its state:\n"
    "  free          zarnik can open it and no other program has it open\n"
    "  held by ...   another program holds it (zarnik cannot open it: it is locked, or\n"
    "                taken exclusively, as zarnik itself takes the ports it uses)\n"
    "  in use by ... another program has it open without locking it; a load beside it\n"
    "                would lose bytes to it\n"
    "  missing, no access, unusable: with the reason\n"
    "To tell, each device is opened for a moment without changing its settings, the\n"
    "way zarnik opens ports, and the open files of the processes are looked through\n"
    "(without root, only your own processes can be seen). The process at the other\n"
    "end of a pty (a simulated unit) is its unit, not a program that holds it.\n"
    "\n"
    "  --probe           also send a carriage return on each free port, as the start-up\n"
    "                    probe does, and show which prompt answered: '#' (the first\n"
    "                    prompt character), '>' (the second, after the first wait has\n"
    "                    run out) or none. A silent port takes about 7 s.\n"
    "  --baud B          line rate for the probe (default: the settings file's, else\n"
    "                    38400)\n"
    "  --settings FILE   settings for the probe (prompt characters, rate) instead of\n"
    "                    ./LoaderDefault.ini\n"
    "\n"
    "Exit status: 0; with --probe, 0 when a unit answered on some port and 1 when none\n"
    "did; 2 usage error.\n";

// One probe on one device, as zarnik-cli run --port does it: the start-up's port
// and settings, then the discovery's check of the port. Its notes stay quiet: they
// would name the COM number the device stands in for, not the device.
char ProbeDevice(const std::string& path, const LoaderDefaults& settings,
                 std::optional<int32_t> baud) {
  std::ostringstream quiet;
  ConsoleHost host({&quiet, false});
  TComPort port(host);
  SetUpComPort1(port);
  port.SetDevicePath(path);
  HeadlessShellView view;
  ShellCore core(host, port, view, [](uint16_t) { return true; });
  core.Channel.LinkMode = kLinkRs232;
  core.Start.ApplySettings(settings);
  char answer = 0;
  try {
    if (baud) port.SetBaud(*baud);
    if (core.Discovery.check_com(1)) answer = core.Channel.ExpectedPrompt;
    port.SetOpen(false);
  } catch (const ESerialException&) {
    // A line that fails under the probe has no unit worth naming on it.
  }
  return answer;
}

namespace {

struct PortsOptions {
  bool probe = false;
  std::optional<int32_t> baud;
  std::string settingsPath = kSettingsFileName;
};

bool ParsePortsOptions(const std::vector<std::string>& args, PortsOptions& o, bool& help,
                       std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return nullptr;
      }
      return &args[++i];
    };
    if (a == "--help" || a == "-h") {
      help = true;
      return true;
    } else if (a == "--probe") {
      o.probe = true;
    } else if (a == "--baud") {
      const std::string* v = value();
      if (!v) return false;
      int32_t b = 0;
      auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), b);
      if (v->empty() || ec != std::errc() || end != v->data() + v->size() || b <= 0) {
        error = "--baud needs a positive number, not '" + *v + "'";
        return false;
      }
      o.baud = b;
    } else if (a == "--settings") {
      const std::string* v = value();
      if (!v) return false;
      o.settingsPath = *v;
    } else {
      error = "unknown argument '" + a + "'";
      return false;
    }
  }
  if ((o.baud || o.settingsPath != kSettingsFileName) && !o.probe) {
    error = "--baud and --settings are for --probe";
    return false;
  }
  return true;
}

std::string ComList(const std::vector<int>& numbers) {
  std::string list;
  for (int n : numbers) list += (list.empty() ? "" : ",") + ComName(static_cast<unsigned>(n));
  return list.empty() ? "-" : list;
}

std::string ProbeText(char answer) {
  if (answer == ' ') return "-";
  if (answer == 0) return "none";
  return std::string("'") + answer + "'";
}

}  // namespace

std::string FormatPortTable(const std::vector<SerialPortInfo>& ports, const ProbeResults* probes) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"DEVICE", "COM", "STATE"});
  if (probes) rows.back().push_back("PROMPT");
  rows.back().push_back("BY-ID");
  for (size_t i = 0; i < ports.size(); ++i) {
    const SerialPortInfo& p = ports[i];
    std::vector<std::string> row = {p.path, ComList(p.comNumbers), DescribeState(p)};
    if (probes) row.push_back(ProbeText(i < probes->size() ? (*probes)[i] : ' '));
    std::string byId;
    for (const std::string& name : p.byId) byId += (byId.empty() ? "" : " ") + name;
    row.push_back(byId.empty() ? "-" : byId);
    rows.push_back(row);
  }
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    table += line + "\n";
  }
  return table;
}

int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  PortsOptions o;
  bool help = false;
  std::string error;
  if (!ParsePortsOptions(args, o, help, error)) {
    err << "zarnik-cli: " << error << "\nTry 'zarnik-cli ports --help'.\n";
    return 2;
  }
  if (help) {
    out << kCliPortsUsage;
    return 0;
  }
  const bool explicitSettings = o.settingsPath != kSettingsFileName;
  if (explicitSettings && access(o.settingsPath.c_str(), R_OK) != 0) {
    err << "zarnik-cli: cannot read settings file " << o.settingsPath << "\n";
    return 2;
  }
  const std::vector<SerialPortInfo> ports = ListSerialPorts(PortRootsFromEnvironment());
  if (ports.empty()) {
    out << "no serial devices found\n";
    return o.probe ? 1 : 0;
  }
  if (!o.probe) {
    out << FormatPortTable(ports, nullptr);
    return 0;
  }
  std::ostringstream settingsNotes;
  ConsoleHost settingsHost({&settingsNotes, false});
  const LoaderDefaults settings = read_defaults(o.settingsPath, settingsHost);
  PrintRefused(settings, err);
  ProbeResults probes(ports.size(), ' ');
  bool answered = false;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i].state != SerialPortInfo::State::kFree) continue;
    err << "probing " << ports[i].path << "..." << std::endl;
    probes[i] = ProbeDevice(ports[i].path, settings, o.baud);
    answered = answered || probes[i] != 0;
  }
  out << FormatPortTable(ports, &probes);
  return answered ? 0 : 1;
}

}  // namespace zarnik
