// The register backend for real boards on Linux: each device is a PCI function
// whose register window (a memory BAR) is mapped from its sysfs resource file; the
// register address of a command request is an offset into that window.
//
// Which functions are devices 0-15 comes from a map (ZARNIK_PCI_MAP, or the file
// named by ZARNIK_PCI_MAP_FILE). Entries are separated by commas or new lines; '#'
// starts a comment that runs to the end of its line. An entry is INDEX=TARGET
// followed by optional KEY=VALUE fields separated by blanks:
//   TARGET   a PCI address DOMAIN:BUS:DEVICE.FUNCTION (0000:03:00.0), which means
//            /sys/bus/pci/devices/<address>/resource<bar>, or an absolute path to a
//            resource file (or anything that maps like one)
//   vendor= device=   the function's identity (as `lspci -n` shows it). Required
//            with a PCI address, so a mistyped address is refused before anything
//            is written to it; with a path they are checked when given, against the
//            vendor and device files beside the resource file.
//   bar=N    which BAR of the function (default 0)
//   data= aux= status= id= base=   register offsets of the board in that window
//            (defaults 0x00, 0x04, 0x08, 0x0C and base 0; decimal or 0x hex). The
//            preparation writes of a freshly opened board go to base + 0x60.
// Example: ZARNIK_PCI_MAP="0=0000:03:00.0 vendor=0x1234 device=0x0001,
//                          1=0000:04:00.0 vendor=0x1234 device=0x0001 bar=2 status=0x10"
//
// Devices are told apart by index, so several may share one resource file at their
// own offsets. The driver refuses a device whose identity does not match or whose
// registers (the preparation writes included) do not all lie inside its window, or
// whose base would put the preparation long off a 4-byte boundary: Refusals() says
// why, and opening it answers ENODEV or EFAULT.
//
// The configuration request answers with these offsets as register addresses and
// driver version 1.0. A byte read or write touches one byte of the window, a 32-bit
// write four (aligned); an access outside the window answers EFAULT. Opening needs
// read and write access to the resource file (usually root).
#pragma once

#include <array>
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
  std::optional<uint16_t> vendor, device;  // the function's identity, when given
};

// sysfsRoot: where PCI addresses are looked up (tests give their own).
std::optional<std::vector<PciMapEntry>> ParsePciMap(
    std::string_view text, std::string& error,
    const std::string& sysfsRoot = "/sys/bus/pci/devices");

class SysfsPciDriver : public PciDriver {
 public:
  static constexpr uint16_t kMajor = 1;
  static constexpr uint16_t kMinor = 0;

  // Checks each entry's identity and window here, before anything is mapped.
  explicit SysfsPciDriver(std::vector<PciMapEntry> map);
  ~SysfsPciDriver() override;
  SysfsPciDriver(const SysfsPciDriver&) = delete;
  SysfsPciDriver& operator=(const SysfsPciDriver&) = delete;

  std::string DevicePath(int index) const override;
  int Open(const std::string& path, bool shared, PciHandle& handle) override;
  int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
              size_t outSize, size_t& returned) override;

  // Why devices were refused, one sentence each, "; " between; "" when none was.
  const std::string& Refusals() const { return refusals_; }

 private:
  struct Mapping {
    const PciMapEntry* entry;
    int fd;
    volatile uint8_t* window;
    size_t size;
  };
  int Execute(Mapping& m, CommandRequest& request);
  void Refuse(const PciMapEntry& e, int error, const std::string& why);

  std::vector<PciMapEntry> map_;
  std::array<int, kPciDevices> refused_{};  // by device index: the errno Open answers
  std::string refusals_;
  std::vector<Mapping> open_;  // by handle
};

}  // namespace zarnik
