#include "pci/pci_driver.h"

#include <cstdlib>
#include <string>

#include "pci/driver_sim.h"
#include "pci/driver_sysfs.h"
#include "pci/setting_text.h"
#include "platform/regular_file.h"

namespace zarnik {

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
