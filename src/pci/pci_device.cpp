#include "pci/pci_device.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/host.h"

namespace zarnik {

PciDeviceLayer::PciDeviceLayer(Host& host, std::unique_ptr<PciDriver> driver,
                               std::ostream& diagnostics)
    : host_(host), driver_(std::move(driver)), out_(diagnostics) {
  DeviceHandles.fill(kInvalidPciHandle);
  for (PciBoard& b : PciBoards) b.layer_ = this;
}

void PciDeviceLayer::Print(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out_ << line << std::flush;
}

PciHandle PciDeviceLayer::OpenDevice(int index, bool shared) {
  if (index < 0 || index >= kPciDevices) {
    lastError_ = EINVAL;
    return kInvalidPciHandle;
  }
  PciHandle handle = kInvalidPciHandle;
  lastError_ = driver_->Open(driver_->DevicePath(index), shared, handle);
  return lastError_ == 0 ? handle : kInvalidPciHandle;
}

int PciDeviceLayer::OpenBoard(int index, uint32_t& dataReg, uint32_t& auxReg, uint32_t& statusReg,
                              uint32_t& idReg) {
  PciHandle handle = OpenDevice(index, true);
  if (handle == kInvalidPciHandle) {
    Print("Error! Could not open WinRTdev%d, error code %d.\n", index, lastError_);
    return lastError_;
  }
  DeviceHandles[index] = handle;
  ConfigBuffer reply{};
  size_t returned = 0;
  int error =
      driver_->Control(handle, kPciConfigCode, nullptr, 0, reply.data(), reply.size(), returned);
  if (error != 0) {
    lastError_ = error;
    Print("WinRTGetFullConfiguration failed error code %d.\n", error);
    return error;
  }
  const BoardConfig config = DecodeConfig(reply.data());
  if (config.major == 3 && config.minor == 14) {
    Print("WinRT Driver Version %d.%d\nOld Winrt.sys version installed.\n", config.major,
          config.minor);
    Print("Will not be able to read Vendor ID and Card ID info.\n");
    Print(
        "Uninstall current library and install most current library if need to query Vendor ID "
        "and Card ID\n");
  }
  dataReg = config.dataReg;
  auxReg = config.auxReg;
  statusReg = config.statusReg;
  idReg = config.idReg;
  WriteRegLong(index, config.base + kPrepareOffset, kPrepareLong);
  WriteRegByte(index, config.base + kPrepareOffset, kPrepareByte);
  return 0;
}

int PciDeviceLayer::Command(int index, uint32_t command, uint32_t address, uint32_t value,
                            uint8_t* read) {
  if (index < 0 || index >= kPciDevices || DeviceHandles[index] == kInvalidPciHandle) {
    lastError_ = EBADF;
    return lastError_;
  }
  CommandBuffer buffer = EncodeCommand({command, address, value});
  size_t returned = 0;
  // One buffer both ways, as the driver expects.
  int error = driver_->Control(DeviceHandles[index], kPciCommandCode, buffer.data(), buffer.size(),
                               buffer.data(), buffer.size(), returned);
  if (error != 0) {
    lastError_ = error;
    return error;
  }
  if (read) *read = static_cast<uint8_t>(DecodeCommand(buffer.data()).value);
  return 0;
}

int PciDeviceLayer::ReadRegByte(int index, uint32_t address, uint8_t& value) {
  return Command(index, kCmdReadByte, address, 0, &value);
}

int PciDeviceLayer::WriteRegByte(int index, uint32_t address, uint8_t value) {
  // The driver takes the byte sign-extended: 0x87 travels as 0xFFFFFF87.
  const auto extended = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
  return Command(index, kCmdWriteByte, address, extended, nullptr);
}

int PciDeviceLayer::WriteRegLong(int index, uint32_t address, uint32_t value) {
  return Command(index, kCmdWriteLong, address, value, nullptr);
}

// ---- PciBoard ----

void PciBoard::Init(int32_t index, uint32_t dataReg, uint32_t auxReg, uint32_t statusReg,
                    uint32_t idReg) {
  Index = index;
  DataReg = dataReg;
  AuxReg = auxReg;
  StatusReg = statusReg;
  IdReg = idReg;
}

bool PciBoard::Status(uint8_t& status) {
  return layer_ && layer_->ReadRegByte(Index, StatusReg, status) == 0;
}

bool PciBoard::RxReady() {
  uint8_t status = 0;
  return Status(status) && (status & kStatusRxReady) != 0;
}

bool PciBoard::TxBusy() {
  uint8_t status = 0;
  return !Status(status) || (status & kStatusTxBusy) != 0;
}

int PciBoard::PutByte(uint8_t b) {
  if (TxBusy()) return 1;
  layer_->WriteRegByte(Index, DataReg, b);
  return 0;
}

int PciBoard::GetByte(uint8_t* b) {
  if (!RxReady()) return 1;
  layer_->ReadRegByte(Index, DataReg, *b);
  return 0;
}

int PciBoard::PutText(const char* text) {
  for (; *text; ++text) {
    int retries = 0;
    while (PutByte(static_cast<uint8_t>(*text)) != 0) {
      if (retries == kPutTextRetries) return 1;
      ++retries;
      layer_->GetHost().Sleep(kPutTextRetryMs);
    }
  }
  return 0;
}

int PciBoard::ResetReceive() {
  if (layer_) layer_->WriteRegByte(Index, StatusReg, kResetReceive);
  return 0;
}

int PciBoard::ReadBoardId(uint8_t* id) {
  if (!layer_) return EBADF;
  return layer_->ReadRegByte(Index, IdReg, *id);
}

}  // namespace zarnik
