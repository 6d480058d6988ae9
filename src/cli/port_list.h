// The serial devices of this machine as zarnik-cli ports lists them.
//
// Which devices: /dev/ttyUSB*, /dev/ttyACM* and those /dev/ttyS* that have a UART
// behind them (the kernel makes a node for every possible 8250 port, most of them
// empty: sysfs tells their type, 0 for none; without sysfs, TIOCGSERIAL does), and
// every device named by a ZARNIK_COM<n> setting (a pty, a by-id link), also one that
// is missing. For each: its /dev/serial/by-id names and the COM numbers that lead to
// it (COM n is $ZARNIK_COM<n>, else /dev/ttyS<n-1>).
//
// Whether another program holds it, asked two ways, because neither sees everything:
//   - the way the serial layer opens a port (the same flags and lock, without
//     changing the line's settings): a device another zarnik, or any program that
//     locks or takes the tty exclusively, holds cannot be opened -- "held";
//   - which processes have it open (/proc/<pid>/fd), for the programs that hold a
//     port without locking it (they would garble a load all the same) and to name
//     the holder. The other end of a pty (the process that holds its master: the
//     simulated unit, say) is the unit, not a rival, and is not counted. Without
//     root, other users' processes cannot be seen; the lock test still holds.
//
// The roots are parameters so tests can lay out their own /dev and /sys.
#pragma once

#include <string>
#include <vector>

namespace zarnik {

struct PortRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
  std::string proc = "/proc";
};
// The real roots, or $ZARNIK_DEV_ROOT / $ZARNIK_SYS_ROOT where set (for tests).
PortRoots PortRootsFromEnvironment();

struct PortHolder {
  int pid = 0;
  std::string program;
};

struct SerialPortInfo {
  enum class State { kFree, kHeld, kInUse, kMissing, kNoAccess, kUnusable };
  std::string path;               // as found under the dev root, or as ZARNIK_COM<n> names it
  std::vector<std::string> byId;  // names in serial/by-id that lead to it
  std::vector<int> comNumbers;    // ascending
  State state = State::kFree;
  std::vector<PortHolder> holders;  // processes that have it open (not us, not its pty master)
  std::string detail;               // why it is missing or unusable
};

// Sorted by kind (ttyS, ttyUSB, ttyACM by number, then devices named only by
// ZARNIK_COM<n> in COM order).
std::vector<SerialPortInfo> ListSerialPorts(const PortRoots& roots);

// "free", "held by 812 (zarnik-cli)", "in use by 77 (cat), unlocked", ...
std::string DescribeState(const SerialPortInfo& port);

// Whether two paths lead to one device (a by-id link and its node, a symlink and its
// pty): a character device by its number, anything else by its inode. False when
// either is missing.
bool SameDevice(const std::string& a, const std::string& b);
// The processes that have the device at path open, found as ListSerialPorts finds them.
std::vector<PortHolder> HoldersOfDevice(const PortRoots& roots, const std::string& path);

}  // namespace zarnik
