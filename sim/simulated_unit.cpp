#include "simulated_unit.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>

namespace zarnik {

SimulatedUnit::SimulatedUnit(sim::PtyUnitConfig config) : unit_(std::move(config)) {}

SimulatedUnit::~SimulatedUnit() { Stop(); }

bool SimulatedUnit::Start(std::string& error) {
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
    error = "cannot create a pipe for the simulated unit";
    return false;
  }
  if (!unit_.Open(error)) return false;
  thread_ = std::thread([this] {
    std::string err;
    if (unit_.Run(stopPipe_[0], err) == sim::PtyUnitEnd::kFailed)
      std::cerr << "simulated unit: " << err << std::endl;
  });
  return true;
}

void SimulatedUnit::Stop() {
  if (thread_.joinable()) {
    char c = 'x';
    (void)!write(stopPipe_[1], &c, 1);
    thread_.join();
  }
  unit_.Close();
  for (int& fd : stopPipe_)
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
}

}  // namespace zarnik
