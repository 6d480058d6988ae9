#include "pci/pci_driver.h"

#include <cstdlib>
#include <string>

#include "pci/driver_sim.h"
#include "pci/driver_sysfs.h"
#include "pci/setting_text.h"
#include "platform/regular_file.h"

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

std::unique_ptr<PciDriver> MakePciDriver(Host& host, std::string& error,
                                         const sim::SimUnitOptions* unitOptions) {
  error.clear();
  // An empty ZARNIK_PCI_SIM (left over in a shell, say) must not hide the real boards.
  const char* simText = std::getenv("ZARNIK_PCI_SIM");
  if (simText && !TrimSetting(simText).empty()) {
    auto config = ParsePciSimConfig(simText, error);
    if (!config) {
      error = "ZARNIK_PCI_SIM: " + error;
      config.emplace();
    }
    return std::make_unique<SimPciDriver>(host, *config,
                                          unitOptions ? *unitOptions : sim::SimUnitOptions{});
  }
  std::string mapText;
  std::string source = "ZARNIK_PCI_MAP";
  if (const char* map = std::getenv("ZARNIK_PCI_MAP")) {
    mapText = map;
  } else if (const char* file = std::getenv("ZARNIK_PCI_MAP_FILE")) {
    source = file;
    // A map is a few lines; a FIFO or a device named here must not hang the start.
    constexpr uint64_t kMaxMapBytes = 64 * 1024;
    OpenedFile in = OpenRegularFile(file, kMaxMapBytes);
    if (!in || !ReadAtMost(in.get(), kMaxMapBytes, mapText)) {
      error = std::string("cannot read ZARNIK_PCI_MAP_FILE ") + file +
              (in ? std::string() : ": " + in.reason);
      return std::make_unique<SysfsPciDriver>(std::vector<PciMapEntry>{});
    }
  }
  auto entries = ParsePciMap(mapText, error);
  if (!entries) {
    error = source + ": " + error;
    entries.emplace();
  }
  auto driver = std::make_unique<SysfsPciDriver>(std::move(*entries));
  if (error.empty() && !driver->Refusals().empty()) error = source + ": " + driver->Refusals();
  return driver;
}

}  // namespace zarnik
