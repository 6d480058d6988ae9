// zarnik-cli ports against zarnik-unit-sim on ptys, named the way a machine names
// its devices (a /dev of the test's own) and by ZARNIK_COM settings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "process.h"
#include "serial/device_posix.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;

struct Ports : ::testing::Test {
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zarnik-ports-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "dev" / "serial" / "by-id");
    fs::create_directories(dir / "sys");
    setenv("ZARNIK_DEV_ROOT", (dir / "dev").c_str(), 1);
    setenv("ZARNIK_SYS_ROOT", (dir / "sys").c_str(), 1);
  }
  void TearDown() override {
    for (const char* v : {"ZARNIK_DEV_ROOT", "ZARNIK_SYS_ROOT", "ZARNIK_COM3", "ZARNIK_COM4"})
      unsetenv(v);
    units.clear();
    fs::remove_all(dir);
  }
  // A simulated unit; its pty's path.
  std::string StartUnit(std::vector<std::string> args) {
    units.push_back(std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args));
    std::string path = units.back()->ReadLine(5000);
    EXPECT_FALSE(path.empty()) << units.back()->Stderr();
    return path;
  }
  int RunPorts(std::vector<std::string> args) {
    args.insert(args.begin(), "ports");
    Process cli(ZARNIK_CLI_PATH, args, dir.string());
    int status = cli.Wait(60000);
    out = cli.Stdout();
    err = cli.Stderr();
    return status;
  }
  // The table's row for a device.
  std::string Row(const std::string& device) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(device + " ", 0) == 0) return line;
    return "";
  }
  fs::path dir;
  std::vector<std::unique_ptr<Process>> units;
  std::string out, err;
};

TEST_F(Ports, ListsTheUnitsWithTheirComNumbersAndWhoHoldsThem) {
  const std::string usb = (dir / "dev" / "ttyUSB0").string();
  StartUnit({"--link", usb});
  fs::create_symlink("../../ttyUSB0", dir / "dev" / "serial" / "by-id" / "usb-Maker_Unit-if00");
  // The second unit answers '>' to a carriage return, as one in loader mode does.
  const std::string pty = StartUnit({"--monitor-prompt", ">"});
  setenv("ZARNIK_COM3", pty.c_str(), 1);
  setenv("ZARNIK_COM4", (dir / "unplugged").c_str(), 1);

  {
    // The first one held the way zarnik holds the port it runs on.
    PosixDevice held;
    ASSERT_EQ(held.Open(usb), 0);
    ASSERT_EQ(RunPorts({}), 0) << err;
    const std::string me = std::to_string(getpid());
    EXPECT_NE(Row(usb).find("held by " + me + " ("), std::string::npos) << out;
    EXPECT_NE(Row(usb).find("usb-Maker_Unit-if00"), std::string::npos) << out;
    EXPECT_NE(Row(pty).find("COM3"), std::string::npos) << out;
    EXPECT_NE(Row(pty).find("free"), std::string::npos) << out;
    EXPECT_NE(Row((dir / "unplugged").string()).find("COM4"), std::string::npos) << out;
    EXPECT_NE(Row((dir / "unplugged").string()).find("missing"), std::string::npos) << out;

    // The probe leaves a held port alone.
    ASSERT_EQ(RunPorts({"--probe"}), 0) << err;
    EXPECT_NE(Row(usb).find("held by"), std::string::npos) << out;
    EXPECT_NE(Row(pty).find("'>'"), std::string::npos) << out;
    EXPECT_EQ(err.find("probing " + usb), std::string::npos) << err;
  }

  // Released: the first unit answers the probe with its monitor prompt.
  ASSERT_EQ(RunPorts({"--probe"}), 0) << err;
  EXPECT_NE(Row(usb).find("free"), std::string::npos) << out;
  EXPECT_NE(Row(usb).find("'#'"), std::string::npos) << out;
  EXPECT_NE(Row((dir / "unplugged").string()).find(" - "), std::string::npos) << out;
}

TEST_F(Ports, ProbeWithNoUnitAnsweringExitsOne) {
  StartUnit({"--absent", "--link", (dir / "dev" / "ttyACM0").string()});
  EXPECT_EQ(RunPorts({"--probe"}), 1) << err;
  EXPECT_NE(Row((dir / "dev" / "ttyACM0").string()).find("none"), std::string::npos) << out;
  EXPECT_EQ(RunPorts({"--baud", "9600"}), 2);
  EXPECT_NE(err.find("--baud and --settings are for --probe"), std::string::npos) << err;
}

}  // namespace
}  // namespace zarnik::e2e
