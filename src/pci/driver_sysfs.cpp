#include "pci/driver_sysfs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace zarnik {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::strchr(" \t\r", s.front())) s.remove_prefix(1);
  while (!s.empty() && std::strchr(" \t\r", s.back())) s.remove_suffix(1);
  return s;
}

template <typename T>
bool ParseNumber(std::string_view s, T& out) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return !s.empty() && ec == std::errc() && ptr == s.data() + s.size();
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
  while (!(text = Trim(text)).empty()) {
    const size_t end = text.find_first_of(" \t");
    fields.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end);
  }
  const std::string_view head = fields[0];
  const size_t eq = head.find('=');
  if (eq == std::string_view::npos || !ParseNumber(head.substr(0, eq), e.index) || e.index < 0 ||
      e.index >= kPciDevices) {
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
    bool ok = reg ? ParseNumber(value, *reg)
                  : key == "bar" && ParseNumber(value, bar) && bar >= 0 && bar <= 5;
    if (!ok) {
      error = "'" + std::string(f) + "' in the entry of device " + std::to_string(e.index) +
              " is not one of bar=0-5, data=, aux=, status=, id=, base= with a number";
      return false;
    }
  }
  if (!target.empty() && target[0] == '/') {
    e.path = std::string(target);
  } else if (IsPciAddress(target)) {
    e.path = sysfsRoot + "/" + std::string(target) + "/resource" + std::to_string(bar);
  } else {
    error = "'" + std::string(target) +
            "' is neither a PCI address (0000:03:00.0) nor an absolute path";
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<PciMapEntry>> ParsePciMap(std::string_view text, std::string& error,
                                                    const std::string& sysfsRoot) {
  std::vector<PciMapEntry> entries;
  size_t start = 0;
  bool comment = false;
  std::string entry;
  auto finish = [&]() {
    if (Trim(entry).empty()) return true;
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
    if (c == '\n' || c == ',') {
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

SysfsPciDriver::SysfsPciDriver(std::vector<PciMapEntry> map) : map_(std::move(map)) {}

SysfsPciDriver::~SysfsPciDriver() {
  for (Mapping& m : open_) {
    munmap(const_cast<uint8_t*>(m.window), m.size);
    close(m.fd);
  }
}

std::string SysfsPciDriver::DevicePath(int index) const {
  for (const PciMapEntry& e : map_)
    if (e.index == index) return e.path;
  return "";
}

int SysfsPciDriver::Open(const std::string& path, bool shared, PciHandle& handle) {
  const PciMapEntry* entry = nullptr;
  for (const PciMapEntry& e : map_)
    if (!path.empty() && e.path == path) entry = &e;
  if (!entry) return ENOENT;
  const int fd = open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!shared && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return error;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size <= 0) {
    const int error = st.st_size <= 0 ? ENXIO : errno;
    close(fd);
    return error;
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
