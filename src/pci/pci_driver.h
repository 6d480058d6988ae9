// PciDriver: the kernel side of the board access, as the device layer sees it.
//
// How it works: a device (one board, index 0 to 15) is opened by path and then
// driven with device I/O control requests, each a control code with an input and an
// output byte buffer. Two requests exist: the 12-byte command request (read a byte,
// write a byte, write a 32-bit value at a register address) and the configuration
// request (a 176-byte reply with the driver version and the board's register
// addresses). Both travel as bytes, little-endian, exactly as laid out below, so a
// backend sees what the board's own driver would see. The encoders and decoders here
// are the one statement of that layout.
//
// Backends: SimPciDriver (simulated boards with a simulated unit behind each
// mailbox, from ZARNIK_PCI_SIM) and SysfsPciDriver (real boards through their
// memory BAR). MakePciDriver picks one from the environment; it lives in the
// zarnik_pci_choice library, which brings in the simulated boards, so only the front
// ends link it.
//
// Errors: every operation answers 0 or an errno value, the "last error" the device
// layer passes on. Threading: window thread only, like the device layer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zarnik {

class Host;
namespace sim {
struct SimUnitOptions;
}

inline constexpr int kPciDevices = 16;

// Control codes (device type 0x8000, functions 0x800 and 0x804, buffered, any access).
inline constexpr uint32_t kPciCommandCode = 0x80002000;
inline constexpr uint32_t kPciConfigCode = 0x80002010;
inline constexpr size_t kCommandRequestSize = 12;
inline constexpr size_t kConfigReplySize = 176;

// Command codes of the command request.
inline constexpr uint32_t kCmdReadByte = 0x13;
inline constexpr uint32_t kCmdWriteByte = 0x16;
inline constexpr uint32_t kCmdWriteLong = 0x0C;

// Offsets of the fields the device layer reads in the configuration reply.
inline constexpr size_t kConfigMajorAt = 4;
inline constexpr size_t kConfigMinorAt = 6;
inline constexpr size_t kConfigBaseAt = 32;
inline constexpr size_t kConfigDataRegAt = 80;
inline constexpr size_t kConfigAuxRegAt = 84;
inline constexpr size_t kConfigStatusRegAt = 88;
inline constexpr size_t kConfigIdRegAt = 92;

using CommandBuffer = std::array<uint8_t, kCommandRequestSize>;
using ConfigBuffer = std::array<uint8_t, kConfigReplySize>;

struct CommandRequest {
  uint32_t command = 0;
  uint32_t address = 0;
  uint32_t value = 0;  // written by the driver for a read
};
CommandBuffer EncodeCommand(const CommandRequest& request);
CommandRequest DecodeCommand(const uint8_t* buffer);  // 12 bytes

struct BoardConfig {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint32_t base = 0;  // base address of the board's register window
  uint32_t dataReg = 0;
  uint32_t auxReg = 0;
  uint32_t statusReg = 0;
  uint32_t idReg = 0;
};
ConfigBuffer EncodeConfig(const BoardConfig& config);  // other bytes zero
BoardConfig DecodeConfig(const uint8_t* buffer);       // 176 bytes

using PciHandle = int;
inline constexpr PciHandle kInvalidPciHandle = -1;

class PciDriver {
 public:
  virtual ~PciDriver() = default;
  // The one place a device index becomes a device path ("" when the index names
  // no device).
  virtual std::string DevicePath(int index) const = 0;
  // Opens an existing device for control requests only; shared lets others open
  // it too. 0 and the handle, or an errno value.
  virtual int Open(const std::string& path, bool shared, PciHandle& handle) = 0;
  // One control request. in and out may be the same buffer (the command request
  // is); returned is set to the bytes written to out. 0 or an errno value.
  virtual int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize,
                      uint8_t* out, size_t outSize, size_t& returned) = 0;
};

// The driver the environment asks for: the simulated boards when ZARNIK_PCI_SIM
// is set and not blank, otherwise the register backend over the devices of
// ZARNIK_PCI_MAP or the file named by ZARNIK_PCI_MAP_FILE (none: no devices).
// A setting that does not parse is described in `error` and gives no devices; so
// are the devices the register backend refuses (the others stay).
// unitOptions, when given, configures the simulated units (prompts, loader command).
std::unique_ptr<PciDriver> MakePciDriver(Host& host, std::string& error,
                                         const sim::SimUnitOptions* unitOptions = nullptr);

}  // namespace zarnik
