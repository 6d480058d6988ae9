// The request and reply layouts of pci_driver.h, byte by byte.
#include "pci/pci_driver.h"

namespace zarnik {

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

CommandBuffer EncodeCommand(const CommandRequest& request) {
  CommandBuffer b{};
  Put32(b.data(), request.command);
  Put32(b.data() + 4, request.address);
  Put32(b.data() + 8, request.value);
  return b;
}

CommandRequest DecodeCommand(const uint8_t* buffer) {
  return {Get32(buffer), Get32(buffer + 4), Get32(buffer + 8)};
}

ConfigBuffer EncodeConfig(const BoardConfig& config) {
  ConfigBuffer b{};
  Put16(b.data() + kConfigMajorAt, config.major);
  Put16(b.data() + kConfigMinorAt, config.minor);
  Put32(b.data() + kConfigBaseAt, config.base);
  Put32(b.data() + kConfigDataRegAt, config.dataReg);
  Put32(b.data() + kConfigAuxRegAt, config.auxReg);
  Put32(b.data() + kConfigStatusRegAt, config.statusReg);
  Put32(b.data() + kConfigIdRegAt, config.idReg);
  return b;
}

BoardConfig DecodeConfig(const uint8_t* buffer) {
  BoardConfig c;
  c.major = Get16(buffer + kConfigMajorAt);
  c.minor = Get16(buffer + kConfigMinorAt);
  c.base = Get32(buffer + kConfigBaseAt);
  c.dataReg = Get32(buffer + kConfigDataRegAt);
  c.auxReg = Get32(buffer + kConfigAuxRegAt);
  c.statusReg = Get32(buffer + kConfigStatusRegAt);
  c.idReg = Get32(buffer + kConfigIdRegAt);
  return c;
}

}  // namespace zarnik
