#include "pci/driver_sim.h"

#include <cerrno>
#include <cstring>

#include "pci/pci_device.h"
#include "pci/setting_text.h"
#include "platform/host.h"

namespace zarnik {

namespace {

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == sep) {
      parts.push_back(TrimSetting(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  return parts;
}

bool ParseBoard(std::string_view item, SimBoardSpec& b, std::string& error) {
  auto parts = Split(item, '/');
  const std::string_view pair = parts[0];
  const size_t colon = pair.find(':');
  if (colon == std::string_view::npos ||
      !ParseSettingNumber(TrimSetting(pair.substr(0, colon)), b.device) ||
      !ParseSettingNumber(TrimSetting(pair.substr(colon + 1)), b.id)) {
    error = "'" + std::string(item) + "' is not DEVICE:ID";
    return false;
  }
  if (b.device < 0 || b.device >= kPciDevices) {
    error = "device index in '" + std::string(item) + "' is not 0-15";
    return false;
  }
  if (b.id < 0 || b.id > 255) {
    error = "board ID in '" + std::string(item) + "' is not a byte (0-255)";
    return false;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "busy") {
      b.busy = true;
    } else if (parts[i] == "noconfig") {
      b.failConfig = true;
    } else if (parts[i] == "noid") {
      b.failIdRead = true;
    } else {
      error = "unknown switch '" + std::string(parts[i]) + "' (busy, noconfig, noid)";
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<PciSimConfig> ParsePciSimConfig(std::string_view text, std::string& error) {
  PciSimConfig config;
  if (TrimSetting(text).empty()) return config;
  for (std::string_view item : Split(text, ',')) {
    if (item.empty()) continue;
    if (item.substr(0, 8) == "version=") {
      std::string_view v = item.substr(8);
      const size_t dot = v.find('.');
      if (dot == std::string_view::npos || !ParseSettingNumber(v.substr(0, dot), config.major) ||
          !ParseSettingNumber(v.substr(dot + 1), config.minor)) {
        error = "'" + std::string(item) + "' is not version=MAJOR.MINOR";
        return std::nullopt;
      }
      continue;
    }
    SimBoardSpec b;
    if (!ParseBoard(item, b, error)) return std::nullopt;
    for (const SimBoardSpec& other : config.boards) {
      if (other.device == b.device) {
        error = "device " + std::to_string(b.device) + " is given twice";
        return std::nullopt;
      }
    }
    config.boards.push_back(b);
  }
  return config;
}

SimPciDriver::SimPciDriver(Host& host, const PciSimConfig& config, const sim::SimUnitOptions& unit)
    : host_(host), major_(config.major), minor_(config.minor) {
  for (const SimBoardSpec& wanted : config.boards) {
    Board& b = boards_[wanted.device];
    b.setup = wanted;
    b.base = 0x1000u * static_cast<uint32_t>(wanted.device + 1);
    b.unit = std::make_unique<sim::SimUnit>(unit);
  }
}

std::string SimPciDriver::DevicePath(int index) const {
  return "sim:WRTdev" + std::to_string(index);
}

int SimPciDriver::Open(const std::string& path, bool, PciHandle& handle) {
  const std::string prefix = "sim:WRTdev";
  if (path.compare(0, prefix.size(), prefix) != 0) return ENOENT;
  int device = -1;
  if (!ParseSettingNumber(std::string_view(path).substr(prefix.size()), device) || !BoardAt(device))
    return ENOENT;
  handle = static_cast<PciHandle>(handles_.size());
  handles_.push_back(device);
  return 0;
}

SimPciDriver::Board* SimPciDriver::BoardAt(int device) {
  auto it = boards_.find(device);
  return it == boards_.end() ? nullptr : &it->second;
}

SimPciDriver::Board* SimPciDriver::BoardOf(PciHandle handle) {
  if (handle < 0 || static_cast<size_t>(handle) >= handles_.size()) return nullptr;
  return BoardAt(handles_[static_cast<size_t>(handle)]);
}

int SimPciDriver::Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize,
                          uint8_t* out, size_t outSize, size_t& returned) {
  returned = 0;
  Board* b = BoardOf(handle);
  if (!b) return EBADF;
  if (code == kPciConfigCode) {
    ++configRequests_;
    if (b->setup.failConfig) return EIO;
    if (outSize < kConfigReplySize) return EINVAL;
    BoardConfig c;
    c.major = major_;
    c.minor = minor_;
    c.base = b->base;
    c.dataReg = b->base + kDataOffset;
    c.auxReg = b->base + kAuxOffset;
    c.statusReg = b->base + kStatusOffset;
    c.idReg = b->base + kIdOffset;
    ConfigBuffer reply = EncodeConfig(c);
    std::memcpy(out, reply.data(), reply.size());
    returned = reply.size();
    return 0;
  }
  if (code != kPciCommandCode) return EINVAL;
  if (inSize != kCommandRequestSize || outSize < kCommandRequestSize) return EINVAL;
  CommandRequest request = DecodeCommand(in);
  b->requests.push_back(request);
  if (int error = Execute(*b, request)) return error;
  CommandBuffer reply = EncodeCommand(request);
  std::memcpy(out, reply.data(), reply.size());
  returned = reply.size();
  return 0;
}

void SimPciDriver::Pull(Board& b) {
  std::string due;
  b.unit->TakeOutput(host_.NowMs(), due);
  b.rx.insert(b.rx.end(), due.begin(), due.end());
}

int SimPciDriver::Execute(Board& b, CommandRequest& r) {
  const uint32_t at = r.address - b.base;
  if (r.address < b.base || at > kPrepareAt) return EINVAL;
  switch (r.command) {
    case kCmdReadByte:
      if (at == kStatusOffset) {
        Pull(b);
        r.value = (b.rx.empty() ? 0u : kStatusRxReady) | (b.setup.busy ? kStatusTxBusy : 0u);
      } else if (at == kDataOffset) {
        Pull(b);
        r.value = 0;
        if (!b.rx.empty()) {
          r.value = b.rx.front();
          b.rx.pop_front();
        }
      } else if (at == kIdOffset) {
        if (b.setup.failIdRead) return EIO;
        r.value = static_cast<uint32_t>(b.setup.id);
      } else {
        r.value = 0;
      }
      return 0;
    case kCmdWriteByte: {
      const auto byte = static_cast<uint8_t>(r.value);
      if (at == kDataOffset) {
        if (b.setup.busy) {
          ++b.refused;
        } else {
          b.accepted.push_back(static_cast<char>(byte));
          b.unit->Receive(&byte, 1, host_.NowMs());
        }
      } else if (at == kStatusOffset) {
        if (byte == kResetReceive) b.rx.clear();
      } else if (at == kPrepareAt) {
        b.prepareByte = byte;
      }
      return 0;
    }
    case kCmdWriteLong:
      if (at == kPrepareAt) b.prepareLong = r.value;
      return 0;
    default:
      return EINVAL;
  }
}

}  // namespace zarnik
