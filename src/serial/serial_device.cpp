#include "serial/serial_device.h"

#include "serial/device_posix.h"
#include "serial/device_sim.h"

namespace zarnik {

int BitsPerChar(const TDcb& dcb) {
  return dcb.byteSize + 2 + (dcb.parity != 0 ? 1 : 0) + (dcb.stopBits != kOneStopBit ? 1 : 0);
}

std::unique_ptr<SerialDevice> MakeSerialDevice(const std::string& path) {
  if (IsSimDevicePath(path)) return std::make_unique<SimDevice>();
  return std::make_unique<PosixDevice>();
}

}  // namespace zarnik
