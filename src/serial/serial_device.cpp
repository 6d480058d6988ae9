#include "serial/serial_device.h"

#include <mutex>
#include <utility>
#include <vector>

#include "serial/device_posix.h"

namespace zarnik {

int BitsPerChar(const TDcb& dcb) {
  return dcb.byteSize + 2 + (dcb.parity != 0 ? 1 : 0) + (dcb.stopBits != kOneStopBit ? 1 : 0);
}

namespace {
struct Backend {
  std::string prefix;
  TDeviceFactory make;
};
std::mutex& BackendsMutex() {
  static std::mutex m;
  return m;
}
std::vector<Backend>& Backends() {
  static std::vector<Backend> b;
  return b;
}
}  // namespace

void AddDeviceBackend(const std::string& prefix, TDeviceFactory make) {
  std::lock_guard lock(BackendsMutex());
  Backends().push_back({prefix, std::move(make)});
}

bool IsBackendDevicePath(const std::string& path) {
  std::lock_guard lock(BackendsMutex());
  for (const Backend& b : Backends())
    if (path.rfind(b.prefix, 0) == 0) return true;
  return false;
}

std::unique_ptr<SerialDevice> MakeSerialDevice(const std::string& path) {
  {
    std::lock_guard lock(BackendsMutex());
    for (const Backend& b : Backends())
      if (path.rfind(b.prefix, 0) == 0) return b.make(path);
  }
  return std::make_unique<PosixDevice>();
}

}  // namespace zarnik
