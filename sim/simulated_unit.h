// The simulated unit on a pty, run on a thread of the command line's own process
// (zarnik-cli --simulate), so a new user needs no hardware and no second program.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "pty_unit.h"

namespace zarnik {

class SimulatedUnit {
 public:
  explicit SimulatedUnit(sim::PtyUnitConfig config);
  ~SimulatedUnit();  // stops the unit and closes the pty
  SimulatedUnit(const SimulatedUnit&) = delete;
  SimulatedUnit& operator=(const SimulatedUnit&) = delete;

  // Creates the pty and starts serving; false with error when the pty fails.
  bool Start(std::string& error);
  const std::string& DevicePath() const { return unit_.SlavePath(); }
  void Stop();

 private:
  sim::PtyUnit unit_;
  std::thread thread_;
  int stopPipe_[2] = {-1, -1};
};

}  // namespace zarnik
