// The register backend for real boards on Linux: each device is a PCI function
// whose register window (a memory BAR) is mapped from its sysfs resource file; the
// register address of a command request is an offset into that window.
//
// Which functions are devices 0-15 comes from a map (ZARNIK_PCI_MAP, or the file
// named by ZARNIK_PCI_MAP_FILE). Entries are separated by commas or new lines; '#'
// starts a comment. An entry is INDEX=TARGET followed by optional KEY=VALUE fields
// separated by blanks:
//   TARGET   a PCI address DOMAIN:BUS:DEVICE.FUNCTION (0000:03:00.0), which means
//            /sys/bus/pci/devices/<address>/resource<bar>, or an absolute path to a
//            resource file (or anything that maps like one)
//   bar=N    which BAR of the function (default 0)
//   data= aux= status= id= base=   register offsets of the board in that window
//            (defaults 0x00, 0x04, 0x08, 0x0C and base 0; decimal or 0x hex). The
//            preparation writes of a freshly opened board go to base + 0x60.
// Example: ZARNIK_PCI_MAP="0=0000:03:00.0, 1=0000:04:00.0 bar=2 status=0x10"
//
// The configuration request answers with these offsets as register addresses and
// driver version 1.0. A byte read or write touches one byte of the window, a 32-bit
// write four (aligned); an access outside the window answers EFAULT. Opening needs
// read and write access to the resource file (usually root).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pci/pci_driver.h"

namespace zarnik {

struct PciMapEntry {
  int index = 0;
  std::string path;  // the resource file
  uint32_t base = 0;
  uint32_t dataReg = 0x00;
  uint32_t auxReg = 0x04;
  uint32_t statusReg = 0x08;
  uint32_t idReg = 0x0C;
};

// sysfsRoot: where PCI addresses are looked up (tests give their own).
std::optional<std::vector<PciMapEntry>> ParsePciMap(
    std::string_view text, std::string& error,
    const std::string& sysfsRoot = "/sys/bus/pci/devices");

class SysfsPciDriver : public PciDriver {
 public:
  static constexpr uint16_t kMajor = 1;
  static constexpr uint16_t kMinor = 0;

  explicit SysfsPciDriver(std::vector<PciMapEntry> map);
  ~SysfsPciDriver() override;
  SysfsPciDriver(const SysfsPciDriver&) = delete;
  SysfsPciDriver& operator=(const SysfsPciDriver&) = delete;

  std::string DevicePath(int index) const override;
  int Open(const std::string& path, bool shared, PciHandle& handle) override;
  int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
              size_t outSize, size_t& returned) override;

 private:
  struct Mapping {
    const PciMapEntry* entry;
    int fd;
    volatile uint8_t* window;
    size_t size;
  };
  int Execute(Mapping& m, CommandRequest& request);

  std::vector<PciMapEntry> map_;
  std::vector<Mapping> open_;  // by handle
};

}  // namespace zarnik
