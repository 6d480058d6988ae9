// The board scan and the switch between the PCI link and the RS-232 link.
//
// How it works: ScanBoards runs once, when the main window is built. It opens every
// device 0-15 through the device layer (OpenStatus), reads the ID of each usable
// board and enters it in BoardIndexById; a bad or duplicated ID disables the PCI
// link for the life of the program, with a message box per bad board. The scan
// leaves LinkMode at the PCI link only when usable boards were found and all carry
// valid, distinct IDs; SelectedBoard is then the lowest ID. PCIConnectClick toggles
// between the links, showing and hiding the RS-232 parts of the window through
// ShellView. Nothing is sent to a board when the link is switched.
//
// LinkMode is the command channel's; the scan and the switch only set it.
//
// Threading: window thread only.
#pragma once

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>

#include "pci/pci_device.h"
#include "pci/pci_driver.h"

namespace zarnik {

class Host;
class PortContract;
class ShellView;

inline constexpr int kPciBoardIds = 16;

namespace msg {
inline constexpr const char* kInvalidBoardId =
    "Invalid BoardID: %d.  PCI Connection will be disabled.  \r\nFor PCI to be working "
    "properly, the firmware must be version 1.02 or later and MainCode have executed.";
inline constexpr const char* kDuplicateBoardId =
    "More than one board has the same board ID:  %d\r\nPCI Connection will be disabled.  Check "
    "the switches on SW1 and try again.";
inline constexpr const char* kNotConnected = "Not connected.";
inline constexpr const char* kPciEstablished = "Established communication on PCI board.";
inline constexpr const char* kNoComNumber = "None";
}  // namespace msg

class PciLink {
 public:
  // linkMode: the command channel's LinkMode.
  PciLink(Host& host, ShellView& view, PortContract& comPort1, int& linkMode);
  PciLink(const PciLink&) = delete;
  PciLink& operator=(const PciLink&) = delete;

  // The board scan over this driver, which the link keeps for the life of the
  // program. diagnostics: the device layer's error lines (standard output).
  void ScanBoards(std::unique_ptr<PciDriver> driver, std::ostream& diagnostics = std::cout);
  // PCI Board(s) > Connected.
  void PCIConnectClick();

  // The PciBoards record of that board ID, or nullptr when no board carries it.
  PciBoard* BoardById(int boardId);
  // The board the link talks to (SelectedBoard's), or nullptr.
  PciBoard* SelectedPciBoard() { return BoardById(SelectedBoard); }
  // Whether any device opened and configured (0 in OpenStatus).
  bool BoardsFound() const;
  // nullptr before the scan.
  PciDeviceLayer* Devices() { return devices_.get(); }

  std::array<int32_t, kPciDevices> OpenStatus;
  std::array<int32_t, kPciBoardIds> BoardIndexById;
  int32_t SelectedBoard = -1;

 private:
  void DisableLink();

  Host& host_;
  ShellView& view_;
  PortContract& comPort1_;
  int& linkMode_;
  std::unique_ptr<PciDeviceLayer> devices_;
};

}  // namespace zarnik
