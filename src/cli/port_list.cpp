#include "cli/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>

#include "serial/com_names.h"
#include "serial/comm_defs.h"
#include "serial/device_posix.h"

extern char** environ;

namespace zarnik {

namespace {

// The highest COM number zarnik-cli takes (--com 1 to 255).
constexpr int kMaxComNumber = 255;
// Unix98 pty slaves: majors 136 to 143, 256 minors each.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

// What makes two paths the same device: a character device by its number, anything
// else by its inode.
struct DeviceId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool isChar = false;
  bool operator==(const DeviceId& o) const {
    return isChar == o.isChar && (isChar ? dev == o.dev : dev == o.dev && ino == o.ino);
  }
};

std::optional<DeviceId> IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISCHR(st.st_mode)) return DeviceId{st.st_rdev, 0, true};
  return DeviceId{st.st_dev, st.st_ino, false};
}

std::vector<std::string> DirNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// "ttyUSB12" with prefix "ttyUSB": 12.
std::optional<int> NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
    return std::nullopt;
  int n = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000) return std::nullopt;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// A ttyS node stands for a real port when the kernel found a UART for it. sysfs
// says so without opening it; TIOCGSERIAL does where sysfs has nothing. When
// neither can tell (a pty or a link in a test's /dev), it is listed.
bool HasUart(const PortRoots& roots, const std::string& name, const std::string& path) {
  std::ifstream type(roots.sys + "/class/tty/" + name + "/type");
  int value = 0;
  if (type >> value) return value != PORT_UNKNOWN;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno != EIO && errno != ENXIO && errno != ENODEV && errno != ENOENT;
  serial_struct info{};
  bool has = ::ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type != PORT_UNKNOWN;
  ::close(fd);
  return has;
}

// The devices under the dev root, ttyS before ttyUSB before ttyACM, each by number.
std::vector<std::string> DevicesUnder(const PortRoots& roots) {
  const std::string kinds[] = {"ttyS", "ttyUSB", "ttyACM"};
  std::vector<std::pair<int, std::string>> found;  // (kind * big + number, name)
  const std::vector<std::string> names = DirNames(roots.dev);
  for (size_t k = 0; k < std::size(kinds); ++k)
    for (const std::string& name : names)
      if (auto n = NumberAfter(name, kinds[k])) {
        if (k == 0 && !HasUart(roots, name, roots.dev + "/" + name)) continue;
        found.emplace_back(static_cast<int>(k) * 1000000 + *n, name);
      }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (const auto& f : found) paths.push_back(roots.dev + "/" + f.second);
  return paths;
}

// COM n's device, the default one read under the dev root.
std::string ComPath(const PortRoots& roots, int n) {
  std::string path = ComDevicePath(static_cast<unsigned>(n));
  const std::string standard = "/dev/ttyS" + std::to_string(n - 1);
  if (path == standard) path = roots.dev + "/ttyS" + std::to_string(n - 1);
  return path;
}

// The COM numbers set by ZARNIK_COM<n>, ascending.
std::vector<int> ComSettings() {
  std::set<int> numbers;
  const std::string prefix = "ZARNIK_COM";
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq + 1 == entry.size()) continue;
    auto n = NumberAfter(entry.substr(0, eq), prefix);
    if (n && *n >= 1 && *n <= kMaxComNumber) numbers.insert(*n);
  }
  return {numbers.begin(), numbers.end()};
}

std::string ProgramName(const PortRoots& roots, int pid) {
  std::ifstream comm(roots.proc + "/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "?" : name;
}

// The pty index of a master descriptor of a process, from its fdinfo; -1 for any
// other descriptor.
int PtyMasterIndex(const std::string& fdInfoPath) {
  std::ifstream info(fdInfoPath);
  std::string line;
  while (std::getline(info, line))
    if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10);
  return -1;
}

struct OpenFiles {
  struct Entry {
    int pid;
    DeviceId id;
    int ptyMaster;  // index of the pty whose master this is, or -1
  };
  std::vector<Entry> entries;
};

// Every descriptor of every process we may look at, but our own.
OpenFiles ScanOpenFiles(const PortRoots& roots, const struct stat& ptmx) {
  OpenFiles files;
  const int self = static_cast<int>(::getpid());
  for (const std::string& name : DirNames(roots.proc)) {
    auto pid = NumberAfter("p" + name, "p");
    if (!pid || *pid == self) continue;
    const std::string base = roots.proc + "/" + name;
    for (const std::string& fd : DirNames(base + "/fd")) {
      struct stat st {};
      if (::stat((base + "/fd/" + fd).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
      const bool master = st.st_rdev == ptmx.st_rdev;
      files.entries.push_back({*pid, DeviceId{st.st_rdev, 0, true},
                               master ? PtyMasterIndex(base + "/fdinfo/" + fd) : -1});
    }
  }
  return files;
}

// The processes that have the device open, less those on the pty's other side.
std::vector<PortHolder> HoldersOf(const PortRoots& roots, const DeviceId& id,
                                  const OpenFiles& files) {
  std::set<int> masters;
  const unsigned major = ::major(id.dev);
  if (id.isChar && major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast) {
    const int index = static_cast<int>((major - kPtySlaveMajorFirst) * 256 + ::minor(id.dev));
    for (const auto& e : files.entries)
      if (e.ptyMaster == index) masters.insert(e.pid);
  }
  std::set<int> pids;
  for (const auto& e : files.entries)
    if (e.id == id && !masters.count(e.pid)) pids.insert(e.pid);
  std::vector<PortHolder> holders;
  for (int pid : pids) holders.push_back({pid, ProgramName(roots, pid)});
  return holders;
}

SerialPortInfo NewPort(const std::string& path) {
  SerialPortInfo port;
  port.path = path;
  return port;
}

void SetState(SerialPortInfo& port, const std::optional<DeviceId>& id) {
  if (!id) {
    port.state = SerialPortInfo::State::kMissing;
    port.detail = "no such device";
    return;
  }
  const SerialError cause = TestDeviceOpen(port.path);
  if (cause == SerialError::Busy) {
    port.state = SerialPortInfo::State::kHeld;
  } else if (cause == SerialError::NotFound || cause == SerialError::PathNotFound) {
    port.state = SerialPortInfo::State::kMissing;
    port.detail = "no device behind it";
  } else if (cause == SerialError::PermissionDenied) {
    port.state = SerialPortInfo::State::kNoAccess;
    port.detail = SerialErrorMessage(cause);
  } else if (cause != SerialError::None) {
    port.state = SerialPortInfo::State::kUnusable;
    port.detail = SerialErrorMessage(cause);
  } else if (!port.holders.empty()) {
    port.state = SerialPortInfo::State::kInUse;
  }
}

}  // namespace

PortRoots PortRootsFromEnvironment() {
  PortRoots roots;
  if (const char* dev = std::getenv("ZARNIK_DEV_ROOT"); dev && *dev) roots.dev = dev;
  if (const char* sys = std::getenv("ZARNIK_SYS_ROOT"); sys && *sys) roots.sys = sys;
  return roots;
}

std::vector<SerialPortInfo> ListSerialPorts(const PortRoots& roots) {
  std::vector<SerialPortInfo> ports;
  std::vector<std::optional<DeviceId>> ids;
  auto indexOf = [&](const std::optional<DeviceId>& id) -> int {
    if (!id) return -1;
    for (size_t i = 0; i < ports.size(); ++i)
      if (ids[i] && *ids[i] == *id) return static_cast<int>(i);
    return -1;
  };
  for (const std::string& path : DevicesUnder(roots)) {
    auto id = IdOf(path);
    if (indexOf(id) >= 0) continue;  // two names of one device
    ports.push_back(NewPort(path));
    ids.push_back(id);
  }
  // Every COM number that leads to a listed device; a ZARNIK_COM<n> setting adds
  // its device when it is not listed yet, missing or not.
  const std::vector<int> settings = ComSettings();
  for (int n = 1; n <= kMaxComNumber; ++n) {
    const std::string path = ComPath(roots, n);
    auto id = IdOf(path);
    int at = indexOf(id);
    if (at < 0) {
      if (!std::binary_search(settings.begin(), settings.end(), n)) continue;
      auto same = std::find_if(ports.begin(), ports.end(),
                               [&](const SerialPortInfo& p) { return p.path == path; });
      if (same != ports.end()) {
        same->comNumbers.push_back(n);
        continue;
      }
      ports.push_back(NewPort(path));
      ids.push_back(id);
      at = static_cast<int>(ports.size()) - 1;
    }
    ports[static_cast<size_t>(at)].comNumbers.push_back(n);
  }
  for (const std::string& name : DirNames(roots.dev + "/serial/by-id")) {
    int at = indexOf(IdOf(roots.dev + "/serial/by-id/" + name));
    if (at >= 0) ports[static_cast<size_t>(at)].byId.push_back(name);
  }
  struct stat ptmx {};
  ::stat("/dev/ptmx", &ptmx);
  const OpenFiles files = ScanOpenFiles(roots, ptmx);
  for (size_t i = 0; i < ports.size(); ++i) {
    std::sort(ports[i].byId.begin(), ports[i].byId.end());
    if (ids[i] && ids[i]->isChar) ports[i].holders = HoldersOf(roots, *ids[i], files);
    SetState(ports[i], ids[i]);
  }
  return ports;
}

bool SameDevice(const std::string& a, const std::string& b) {
  const auto idA = IdOf(a);
  const auto idB = IdOf(b);
  return idA && idB && *idA == *idB;
}

std::vector<PortHolder> HoldersOfDevice(const PortRoots& roots, const std::string& path) {
  const auto id = IdOf(path);
  if (!id || !id->isChar) return {};
  struct stat ptmx {};
  ::stat("/dev/ptmx", &ptmx);
  return HoldersOf(roots, *id, ScanOpenFiles(roots, ptmx));
}

std::string DescribeState(const SerialPortInfo& port) {
  std::string who;
  for (const PortHolder& h : port.holders)
    who += (who.empty() ? "" : ", ") + std::to_string(h.pid) + " (" + h.program + ")";
  switch (port.state) {
    case SerialPortInfo::State::kFree:
      return "free";
    case SerialPortInfo::State::kHeld:
      return who.empty() ? "held by another program" : "held by " + who;
    case SerialPortInfo::State::kInUse:
      return "in use by " + who + ", unlocked";
    case SerialPortInfo::State::kMissing:
      return "missing: " + port.detail;
    case SerialPortInfo::State::kNoAccess:
      return "no access: " + port.detail;
    case SerialPortInfo::State::kUnusable:
      return "unusable: " + port.detail;
  }
  return "";
}

}  // namespace zarnik
