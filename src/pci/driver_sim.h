// Simulated boards for the device layer: each board has a status, a data and an ID
// register, and the simulated unit behind its mailbox, so a script runs against a
// board exactly as over a serial line.
//
// Configuration (ZARNIK_PCI_SIM): a comma-separated list of items, blanks ignored.
//   DEVICE:ID[/SWITCH...]   device index 0-15 carrying board ID ID (0-255, decimal or
//                           0x hexadecimal; the board reports the byte as it is, so
//                           16 or 0x80 make an invalid ID). Switches of that board:
//                             busy      the board stays busy: every byte is refused
//                             noconfig  its configuration request fails
//                             noid      reading its board ID fails
//   version=3.14            the driver reports version 3.14 (the old driver whose
//                           warnings the device layer prints); any MAJOR.MINOR works
// Example: ZARNIK_PCI_SIM="0:3,1:5/busy,version=3.14". Unset or blank: not
// used (the real boards' map applies).
//
// A board's registers: base 0x1000 * (device + 1); data at base, aux at base + 4,
// status at base + 8, ID at base + 0x0C; base + 0x60 takes the preparation writes.
// Status bit 7 is set while a byte from the unit waits in the board's receive
// queue, bit 4 while the board is busy (a byte written then is lost). Reading the
// data register takes the next waiting byte; writing it hands the byte to the unit;
// writing 0x03 to the status register empties the receive queue.
//
// The units run on the Host's clock: virtual time in tests, real time otherwise.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pci/pci_driver.h"
#include "sim_unit.h"

namespace zarnik {

struct SimBoardSpec {
  int device = 0;
  int id = 0;  // the byte the ID register reads
  bool busy = false;
  bool failConfig = false;
  bool failIdRead = false;
};

struct PciSimConfig {
  std::vector<SimBoardSpec> boards;
  uint16_t major = 4;
  uint16_t minor = 2;
};

// nullopt with a message naming the item that does not parse.
std::optional<PciSimConfig> ParsePciSimConfig(std::string_view text, std::string& error);

class SimPciDriver : public PciDriver {
 public:
  static constexpr uint32_t kDataOffset = 0x00;
  static constexpr uint32_t kAuxOffset = 0x04;
  static constexpr uint32_t kStatusOffset = 0x08;
  static constexpr uint32_t kIdOffset = 0x0C;
  static constexpr uint32_t kPrepareAt = 0x60;

  SimPciDriver(Host& host, const PciSimConfig& config, const sim::SimUnitOptions& unit = {});

  std::string DevicePath(int index) const override;
  int Open(const std::string& path, bool shared, PciHandle& handle) override;
  int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
              size_t outSize, size_t& returned) override;

  // ---- For tests and demos ----
  struct Board {
    SimBoardSpec setup;
    uint32_t base = 0;
    std::unique_ptr<sim::SimUnit> unit;
    std::deque<uint8_t> rx;    // bytes from the unit waiting in the mailbox
    std::string accepted;      // bytes written to the data register and handed on
    int refused = 0;           // bytes written while busy (lost)
    uint32_t prepareLong = 0;  // last values written to base + 0x60
    int prepareByte = -1;
    std::vector<CommandRequest> requests;  // every command request, in order
  };
  // nullptr when no board sits at that device index.
  Board* BoardAt(int device);
  int ConfigRequests() const { return configRequests_; }

 private:
  Board* BoardOf(PciHandle handle);
  int Execute(Board& b, CommandRequest& request);
  void Pull(Board& b);

  Host& host_;
  uint16_t major_, minor_;
  std::map<int, Board> boards_;
  std::vector<int> handles_;  // handle -> device index
  int configRequests_ = 0;
};

}  // namespace zarnik
