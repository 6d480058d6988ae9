// zarnik-cli ports: this machine's serial devices, the COM numbers that lead to
// them and whether another program holds them (cli/port_list.h); with --probe,
// which prompt a carriage return gets on each free one.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "cli/port_list.h"

namespace zarnik {

extern const char* const kCliPortsUsage;

// What answered a probe: the prompt character, or 0 for none; ' ' when the port
// was not probed.
using ProbeResults = std::vector<char>;

// One probe on one device, as zarnik-cli run --port does it: what answered a carriage
// return (the prompt character), or 0 for nothing.
char ProbeDevice(const std::string& path, const LoaderDefaults& settings,
                 std::optional<int32_t> baud);

// The table zarnik-cli ports prints, one row per device.
std::string FormatPortTable(const std::vector<SerialPortInfo>& ports, const ProbeResults* probes);

// args: what follows "ports". Exit status: 0 (with --probe: a unit answered on at
// least one port), 1 with --probe when none answered, 2 usage error.
int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace zarnik
