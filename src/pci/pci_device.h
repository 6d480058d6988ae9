// The device layer over the board driver: opens the devices, reads each board's
// configuration, and moves bytes through a board's mailbox registers.
//
// How it works: OpenBoard opens device n (through the driver's path for n), keeps
// its handle in DeviceHandles, asks the driver for the board's configuration and
// hands back the four register addresses; ReadRegByte / WriteRegByte /
// WriteRegLong each send one 12-byte command request on that handle. A PciBoard
// record (one per device index, in PciBoards) names a board's registers and offers
// the mailbox operations: a byte goes out through the data register unless status
// bit 4 (busy) is set, and comes in when status bit 7 (byte waiting) is set.
//
// Results: the register operations answer 0 or the driver's errno value; the
// mailbox operations 0 (done) or 1 (busy / nothing waiting). Diagnostics go to the
// standard output stream (or the stream given), never to the operator.
//
// Handles stay open for the life of the layer, also those of devices whose
// configuration request failed.
//
// Threading: window thread only. PutText sleeps through the Host while a board is
// busy (up to 25 s a character), so tests run it on virtual time.
#pragma once

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>

#include "pci/pci_driver.h"

namespace zarnik {

class Host;
class PciDeviceLayer;

// Status register bits.
inline constexpr uint8_t kStatusRxReady = 0x80;
inline constexpr uint8_t kStatusTxBusy = 0x10;
// Written to the status register: resets the board's receive state.
inline constexpr uint8_t kResetReceive = 0x03;
// Preparation of a freshly opened board, at base + 0x60.
inline constexpr uint32_t kPrepareOffset = 0x60;
inline constexpr uint32_t kPrepareLong = 0x87878787;
inline constexpr uint8_t kPrepareByte = 0x87;
// A character a busy board refuses is offered again this many times, 500 ms apart.
inline constexpr int kPutTextRetries = 50;
inline constexpr uint32_t kPutTextRetryMs = 500;

struct PciBoard {
  int32_t Index = 0;
  uint32_t DataReg = 0;
  uint32_t AuxReg = 0;  // stored, not used
  uint32_t StatusReg = 0;
  uint32_t IdReg = 0;

  void Init(int32_t index, uint32_t dataReg, uint32_t auxReg, uint32_t statusReg, uint32_t idReg);
  // A status byte that cannot be read counts as nothing waiting and board busy.
  bool RxReady();
  bool TxBusy();
  // 0 = written to DataReg; 1 = board busy, nothing written.
  int PutByte(uint8_t b);
  // 0 = a byte was read into *b; 1 = none waiting, *b unchanged.
  int GetByte(uint8_t* b);
  // 0 = every character accepted; 1 = a character stayed refused after 50 retries,
  // and the rest of the text was not sent.
  int PutText(const char* text);
  // Writes 0x03 to StatusReg; 0.
  int ResetReceive();
  // ReadRegByte on IdReg: 0 or the driver's error (then *id is unchanged).
  int ReadBoardId(uint8_t* id);

 private:
  friend class PciDeviceLayer;
  bool Status(uint8_t& status);
  PciDeviceLayer* layer_ = nullptr;
};

class PciDeviceLayer {
 public:
  // diagnostics: where the layer's error lines go (the standard output stream).
  PciDeviceLayer(Host& host, std::unique_ptr<PciDriver> driver,
                 std::ostream& diagnostics = std::cout);
  PciDeviceLayer(const PciDeviceLayer&) = delete;
  PciDeviceLayer& operator=(const PciDeviceLayer&) = delete;

  // The handle, or kInvalidPciHandle with LastError() set. The system always
  // opens shared.
  PciHandle OpenDevice(int index, bool shared);
  // 0 with the registers handed back and the board prepared, or the error code.
  int OpenBoard(int index, uint32_t& dataReg, uint32_t& auxReg, uint32_t& statusReg,
                uint32_t& idReg);
  // The byte is written only on success.
  int ReadRegByte(int index, uint32_t address, uint8_t& value);
  int WriteRegByte(int index, uint32_t address, uint8_t value);
  int WriteRegLong(int index, uint32_t address, uint32_t value);
  int LastError() const { return lastError_; }

  std::array<PciHandle, kPciDevices> DeviceHandles;
  std::array<PciBoard, kPciDevices> PciBoards;

  PciDriver& Driver() { return *driver_; }
  Host& GetHost() { return host_; }

 private:
  int Command(int index, uint32_t command, uint32_t address, uint32_t value, uint8_t* read);
  void Print(const char* format, ...);

  Host& host_;
  std::unique_ptr<PciDriver> driver_;
  std::ostream& out_;
  int lastError_ = 0;
};

}  // namespace zarnik
