// The port list over a /dev and /sys of the test's own: ptys stand in for the
// devices, symlinks give them their names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/port_list.h"
#include "cli/ports_command.h"
#include "serial/device_posix.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

// A pty whose master the test holds: to the list, the test is its unit.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string path;
};

struct PortList : ::testing::Test {
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zarnik-ports-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "dev" / "serial" / "by-id");
    fs::create_directories(dir / "sys" / "class" / "tty" / "ttyS1");
    roots = {(dir / "dev").string(), (dir / "sys").string(), "/proc"};
    for (Pty* p : {&a, &b, &c, &d}) ASSERT_FALSE(p->path.empty());
  }
  void TearDown() override {
    for (const char* v : {"ZARNIK_COM1", "ZARNIK_COM2", "ZARNIK_COM3", "ZARNIK_COM7"}) unsetenv(v);
    fs::remove_all(dir);
  }
  const SerialPortInfo* Find(const std::vector<SerialPortInfo>& ports, const std::string& path) {
    for (const auto& p : ports)
      if (p.path == path) return &p;
    return nullptr;
  }
  fs::path dir;
  PortRoots roots;
  Pty a, b, c, d;
};

TEST_F(PortList, NamesComNumbersAndLinksOfEachDevice) {
  const std::string dev = roots.dev;
  fs::create_symlink(a.path, dir / "dev" / "ttyS0");
  fs::create_symlink(b.path, dir / "dev" / "ttyS1");  // no UART behind it, says sysfs
  std::ofstream(dir / "sys" / "class" / "tty" / "ttyS1" / "type") << "0\n";
  fs::create_symlink(c.path, dir / "dev" / "ttyUSB10");
  fs::create_symlink(d.path, dir / "dev" / "ttyUSB2");
  fs::create_symlink("../../ttyUSB10",
                     dir / "dev" / "serial" / "by-id" / "usb-Maker_Unit_42-port0");
  fs::create_symlink(dir / "dev" / "ttyUSB10", dir / "dev" / "serial" / "by-id" / "usb-Other");
  fs::create_symlink(dir / "dev" / "nothing", dir / "dev" / "ttyACMx");  // not a number
  setenv("ZARNIK_COM2", d.path.c_str(), 1);                              // a second name of ttyUSB2
  setenv("ZARNIK_COM3", b.path.c_str(), 1);          // named only by the setting
  setenv("ZARNIK_COM7", (dir / "gone").c_str(), 1);  // missing
  setenv("ZARNIK_COM1", "", 1);                      // empty: COM1 stays ttyS0

  const std::vector<SerialPortInfo> ports = ListSerialPorts(roots);
  std::vector<std::string> paths;
  for (const auto& p : ports) paths.push_back(p.path);
  EXPECT_EQ(paths, (std::vector<std::string>{dev + "/ttyS0", dev + "/ttyUSB2", dev + "/ttyUSB10",
                                             b.path, (dir / "gone").string()}));

  const auto* s0 = Find(ports, dev + "/ttyS0");
  ASSERT_TRUE(s0);
  EXPECT_EQ(s0->comNumbers, std::vector<int>{1});
  EXPECT_EQ(s0->state, SerialPortInfo::State::kFree);
  EXPECT_EQ(Find(ports, dev + "/ttyUSB2")->comNumbers, std::vector<int>{2});
  const auto* usb10 = Find(ports, dev + "/ttyUSB10");
  EXPECT_TRUE(usb10->comNumbers.empty());
  EXPECT_EQ(usb10->byId, (std::vector<std::string>{"usb-Maker_Unit_42-port0", "usb-Other"}));
  EXPECT_EQ(Find(ports, b.path)->comNumbers, std::vector<int>{3});
  const auto* gone = Find(ports, (dir / "gone").string());
  EXPECT_EQ(gone->comNumbers, std::vector<int>{7});
  EXPECT_EQ(gone->state, SerialPortInfo::State::kMissing);

  const std::string table = FormatPortTable(ports, nullptr);
  EXPECT_NE(table.find("DEVICE"), std::string::npos) << table;
  EXPECT_NE(table.find("COM7"), std::string::npos) << table;
  EXPECT_NE(table.find("usb-Maker_Unit_42-port0 usb-Other"), std::string::npos) << table;
}

TEST_F(PortList, TellsHeldFromOpenAndFree) {
  setenv("ZARNIK_COM1", a.path.c_str(), 1);
  setenv("ZARNIK_COM2", b.path.c_str(), 1);
  setenv("ZARNIK_COM3", c.path.c_str(), 1);
  // Another process, which is no pty's other end, takes a the way zarnik takes a
  // port and opens b without a lock; c is open nowhere but at its master.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  if (child == 0) {
    for (Pty* p : {&a, &b, &c, &d}) close(p->master);
    PosixDevice held;
    const bool ok = held.Open(a.path) == 0 && open(b.path.c_str(), O_RDWR | O_NOCTTY) >= 0;
    const char answer = ok ? 'y' : 'n';
    (void)!write(ready[1], &answer, 1);
    char until;
    (void)!read(done[0], &until, 1);  // the parent has looked
    _exit(0);
  }
  close(ready[1]);
  close(done[0]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  std::vector<std::string> states;
  for (const auto& p : ListSerialPorts(roots)) states.push_back(DescribeState(p));
  (void)!write(done[1], "x", 1);
  close(done[1]);
  close(ready[0]);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  ASSERT_EQ(answer, 'y');

  const std::string holder = std::to_string(child) + " (";
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[0].rfind("held by " + holder, 0), 0u) << states[0];
  EXPECT_EQ(states[1].rfind("in use by " + holder, 0), 0u) << states[1];
  EXPECT_NE(states[1].find("unlocked"), std::string::npos) << states[1];
  EXPECT_EQ(states[2], "free");

  // Released when their holder has gone.
  for (const auto& p : ListSerialPorts(roots)) EXPECT_EQ(DescribeState(p), "free") << p.path;
}

}  // namespace
}  // namespace zarnik
