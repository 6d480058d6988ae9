#include "pci/driver_sysfs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "pci/pci_device.h"
#include "pci/setting_text.h"

namespace zarnik {

namespace {

constexpr const char* kPathPrefix = "map:WRTdev";

std::string Hex(uint64_t v, int digits = 1) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(v));
  return text;
}

// DOMAIN:BUS:DEVICE.FUNCTION in hexadecimal, as sysfs names the functions.
bool IsPciAddress(std::string_view s) {
  if (s.size() != 12) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool ok = (i == 4 || i == 7) ? c == ':'
                    : i == 10          ? c == '.'
                                       : std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  return true;
}

bool ParseEntry(std::string_view text, const std::string& sysfsRoot, PciMapEntry& e,
                std::string& error) {
  std::vector<std::string_view> fields;
  while (!(text = TrimSetting(text)).empty()) {
    const size_t end = text.find_first_of(" \t");
    fields.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end);
  }
  const std::string_view head = fields[0];
  const size_t eq = head.find('=');
  if (eq == std::string_view::npos || !ParseSettingNumber(head.substr(0, eq), e.index) ||
      e.index < 0 || e.index >= kPciDevices) {
    error = "'" + std::string(head) + "' is not INDEX=TARGET with an index 0-15";
    return false;
  }
  const std::string_view target = head.substr(eq + 1);
  int bar = 0;
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string_view f = fields[i];
    const size_t at = f.find('=');
    const std::string_view key = f.substr(0, at);
    const std::string_view value = at == std::string_view::npos ? "" : f.substr(at + 1);
    uint32_t* reg = key == "data"     ? &e.dataReg
                    : key == "aux"    ? &e.auxReg
                    : key == "status" ? &e.statusReg
                    : key == "id"     ? &e.idReg
                    : key == "base"   ? &e.base
                                      : nullptr;
    std::optional<uint16_t>* identity = key == "vendor"   ? &e.vendor
                                        : key == "device" ? &e.device
                                                          : nullptr;
    uint16_t id = 0;
    bool ok = reg        ? ParseSettingNumber(value, *reg)
              : identity ? ParseSettingNumber(value, id)
                         : key == "bar" && ParseSettingNumber(value, bar) && bar >= 0 && bar <= 5;
    if (!ok) {
      error = "'" + std::string(f) + "' in the entry of device " + std::to_string(e.index) +
              " is not one of bar=0-5, data=, aux=, status=, id=, base=, vendor=, device= with "
              "a number";
      return false;
    }
    if (identity) *identity = id;
  }
  if (!target.empty() && target[0] == '/') {
    e.path = std::string(target);
  } else if (IsPciAddress(target)) {
    // A mistyped address must not get the preparation writes of some other function.
    if (!e.vendor || !e.device) {
      error = "the entry of device " + std::to_string(e.index) + " names the PCI function " +
              std::string(target) +
              " without its identity: add vendor=0x.... device=0x.... (lspci -n shows them)";
      return false;
    }
    e.path = sysfsRoot + "/" + std::string(target) + "/resource" + std::to_string(bar);
  } else {
    error = "'" + std::string(target) +
            "' is neither a PCI address (0000:03:00.0) nor an absolute path";
    return false;
  }
  return true;
}

// Why the entry's registers cannot all be accessed in a window of `size` bytes; "" when
// they can. Each access must lie inside the window and be aligned to its width (a 32-bit
// write off a 4-byte boundary is refused by the access itself, with nothing to say why);
// without a size, only the alignment is checked. Counted in 64 bits: a base near 4 GiB must not
// wrap back into the window.
std::string WindowProblem(const PciMapEntry& e, std::optional<uint64_t> size) {
  const struct {
    const char* key;
    uint32_t value;
    uint64_t at;     // the first byte touched
    uint32_t width;  // bytes per access
  } used[] = {{"data", e.dataReg, e.dataReg, 1},
              {"aux", e.auxReg, e.auxReg, 1},
              {"status", e.statusReg, e.statusReg, 1},
              {"id", e.idReg, e.idReg, 1},
              {"base", e.base, uint64_t{e.base} + kPrepareOffset, 4}};
  for (const auto& u : used) {
    const std::string what =
        std::string(u.key) + "=" + Hex(u.value) +
        (u.key == std::string_view("base") ? " puts the preparation writes (base + 0x60)"
                                           : " lies");
    if (u.at % u.width != 0)
      return what + " at " + Hex(u.at) + ", off the " + std::to_string(u.width) +
             "-byte boundary a " + std::to_string(u.width * 8) + "-bit access needs";
    if (size && u.at + u.width > *size)
      return what + " outside its " + std::to_string(*size) + "-byte register window";
  }
  return "";
}

// One identity file of a sysfs PCI function ("0x8086\n").
std::optional<uint16_t> ReadIdentity(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  uint16_t value = 0;
  if (!std::getline(in, line) || !ParseSettingNumber(TrimSetting(line), value)) return std::nullopt;
  return value;
}

// Why the function behind the entry is not the one the map names; "" when it is, or
// when the entry names no identity.
std::string IdentityProblem(const PciMapEntry& e) {
  if (!e.vendor && !e.device) return "";
  const std::string function = e.path.substr(0, e.path.rfind('/'));
  const std::optional<uint16_t> vendor = ReadIdentity(function + "/vendor");
  const std::optional<uint16_t> device = ReadIdentity(function + "/device");
  if (!vendor || !device)
    return "cannot read the identity of " + function + " (its vendor and device files)";
  if (vendor == e.vendor.value_or(*vendor) && device == e.device.value_or(*device)) return "";
  auto identity = [](std::optional<uint16_t> v, std::optional<uint16_t> d) {
    return (v ? "vendor=" + Hex(*v, 4) : "") + (v && d ? " " : "") +
           (d ? "device=" + Hex(*d, 4) : "");
  };
  return function + " is " + identity(vendor, device) + ", the map says " +
         identity(e.vendor, e.device);
}

}  // namespace

std::optional<std::vector<PciMapEntry>> ParsePciMap(std::string_view text, std::string& error,
                                                    const std::string& sysfsRoot) {
  std::vector<PciMapEntry> entries;
  size_t start = 0;
  bool comment = false;
  std::string entry;
  auto finish = [&]() {
    if (TrimSetting(entry).empty()) return true;
    PciMapEntry e;
    if (!ParseEntry(entry, sysfsRoot, e, error)) return false;
    for (const PciMapEntry& other : entries) {
      if (other.index == e.index) {
        error = "device " + std::to_string(e.index) + " is mapped twice";
        return false;
      }
    }
    entries.push_back(std::move(e));
    entry.clear();
    return true;
  };
  for (; start < text.size(); ++start) {
    const char c = text[start];
    if (c == '\n' || (c == ',' && !comment)) {
      comment = false;
      if (!finish()) return std::nullopt;
    } else if (c == '#') {
      comment = true;
    } else if (!comment) {
      entry.push_back(c);
    }
  }
  if (!finish()) return std::nullopt;
  return entries;
}

SysfsPciDriver::SysfsPciDriver(std::vector<PciMapEntry> map) : map_(std::move(map)) {
  for (const PciMapEntry& e : map_) {
    if (std::string why = IdentityProblem(e); !why.empty()) {
      Refuse(e, ENODEV, why);
      continue;
    }
    // A file that cannot be looked at now is reported when it is opened; a misaligned
    // register is refused whatever the file.
    struct stat st {};
    std::optional<uint64_t> size;
    if (stat(e.path.c_str(), &st) == 0 && st.st_size > 0) size = static_cast<uint64_t>(st.st_size);
    if (std::string why = WindowProblem(e, size); !why.empty()) Refuse(e, EFAULT, why);
  }
}

void SysfsPciDriver::Refuse(const PciMapEntry& e, int error, const std::string& why) {
  refused_[static_cast<size_t>(e.index)] = error;
  refusals_ += (refusals_.empty() ? "" : "; ") +
               ("device " + std::to_string(e.index) + " is not opened: " + why);
}

SysfsPciDriver::~SysfsPciDriver() {
  for (Mapping& m : open_) {
    munmap(const_cast<uint8_t*>(m.window), m.size);
    close(m.fd);
  }
}

// A name per index rather than the resource file: two devices may share one file.
std::string SysfsPciDriver::DevicePath(int index) const {
  for (const PciMapEntry& e : map_)
    if (e.index == index) return kPathPrefix + std::to_string(index);
  return "";
}

int SysfsPciDriver::Open(const std::string& path, bool shared, PciHandle& handle) {
  const PciMapEntry* entry = nullptr;
  for (const PciMapEntry& e : map_)
    if (path == kPathPrefix + std::to_string(e.index)) entry = &e;
  if (!entry) return ENOENT;
  if (int error = refused_[static_cast<size_t>(entry->index)]) return error;
  const int fd = open(entry->path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!shared && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return error;
  }
  struct stat st {};
  int fault = fstat(fd, &st) != 0 ? errno : st.st_size <= 0 ? ENXIO : 0;
  // The window may have changed since the check at the start.
  if (fault == 0 && !WindowProblem(*entry, static_cast<uint64_t>(st.st_size)).empty())
    fault = EFAULT;
  if (fault != 0) {
    close(fd);
    return fault;
  }
  const auto size = static_cast<size_t>(st.st_size);
  void* window = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (window == MAP_FAILED) {
    const int error = errno;
    close(fd);
    return error;
  }
  handle = static_cast<PciHandle>(open_.size());
  open_.push_back({entry, fd, static_cast<volatile uint8_t*>(window), size});
  return 0;
}

int SysfsPciDriver::Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize,
                            uint8_t* out, size_t outSize, size_t& returned) {
  returned = 0;
  if (handle < 0 || static_cast<size_t>(handle) >= open_.size()) return EBADF;
  Mapping& m = open_[static_cast<size_t>(handle)];
  if (code == kPciConfigCode) {
    if (outSize < kConfigReplySize) return EINVAL;
    const PciMapEntry& e = *m.entry;
    ConfigBuffer reply =
        EncodeConfig({kMajor, kMinor, e.base, e.dataReg, e.auxReg, e.statusReg, e.idReg});
    std::memcpy(out, reply.data(), reply.size());
    returned = reply.size();
    return 0;
  }
  if (code != kPciCommandCode) return EINVAL;
  if (inSize != kCommandRequestSize || outSize < kCommandRequestSize) return EINVAL;
  CommandRequest request = DecodeCommand(in);
  if (int error = Execute(m, request)) return error;
  CommandBuffer reply = EncodeCommand(request);
  std::memcpy(out, reply.data(), reply.size());
  returned = reply.size();
  return 0;
}

int SysfsPciDriver::Execute(Mapping& m, CommandRequest& r) {
  const size_t width = r.command == kCmdWriteLong ? 4 : 1;
  if (r.address > m.size || m.size - r.address < width) return EFAULT;
  volatile uint8_t* at = m.window + r.address;
  switch (r.command) {
    case kCmdReadByte:
      r.value = *at;
      return 0;
    case kCmdWriteByte:
      *at = static_cast<uint8_t>(r.value);
      return 0;
    case kCmdWriteLong:
      // One 32-bit access, as a device register expects; never a split one.
      if (r.address % 4 != 0) return EFAULT;
      *reinterpret_cast<volatile uint32_t*>(at) = r.value;
      return 0;
    default:
      return EINVAL;
  }
}

}  // namespace zarnik
