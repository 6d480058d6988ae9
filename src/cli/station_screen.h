// What the station shows of its ports: on a terminal a block of lines redrawn in place
// (the running count, then one line per port), into a pipe one line per event. Pure
// functions of the ports' states, so what the operator sees is tested without a terminal.
#pragma once

#include <string>
#include <vector>

namespace zarnik {

struct StationPortState {
  enum class Kind { kWaiting, kLoading, kPass, kFail, kGone };
  std::string name;  // "ttyUSB0"
  Kind kind = Kind::kWaiting;
  std::string file;  // loading: the file going out, once known
  std::string bar;   // loading: the run's bar text, once a file goes out
  std::string text;  // pass: what identifies the unit (its last reply); fail: the first error
};

// "12 passed, 1 failed since 08:02"
std::string StationCount(int passed, int failed, const std::string& since);

// The port's state without its name: "waiting for a unit",
// "loading main-app.bin  42%  11.5 kB/s  0:31 left", "PASS  SN ZK-004711  disconnect the
// unit", "FAIL  <first error>", "gone". PASS and FAIL in green and red when `colour`.
std::string StationStateText(const StationPortState& port, bool colour);

// The block a terminal shows: the count, then each port's name (padded so the states
// line up) and state; every line ends with '\n'.
std::string StationScreen(const std::vector<StationPortState>& ports, const std::string& count,
                          bool colour);

}  // namespace zarnik
