// zarnik-cli looking for the unit before its script, against zarnik-unit-sim on a
// pty named as a COM port: real programs, real time.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "process.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;

struct Probe : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("probe");
    fs::create_directories(dir / "images");
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string("\x01\x02\xFE zarnik", 10);
    // Loader mode only; the next script relies on the prompt the probe found.
    std::ofstream(dir / "enter.sld") << "_TC \"^M\"\n";
    std::ofstream(dir / "load.sld") << "_LF fw.bin\n_LA 8000\n_LV V1\n_LP 1\n_LD\n";
  }
  void TearDown() override {
    unsetenv("ZARNIK_COM1");
    unsetenv("ZARNIK_COM2");
    fs::remove_all(dir);
  }
  std::unique_ptr<Process> StartUnit(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--save-images", (dir / "images").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto unit = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    devicePath = unit->ReadLine(5000);
    EXPECT_FALSE(devicePath.empty()) << unit->Stderr();
    return unit;
  }
  std::unique_ptr<Process> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "run");
    return std::make_unique<Process>(ZARNIK_CLI_PATH, args, dir.string());
  }
  fs::path dir;
  std::string devicePath;
};

TEST_F(Probe, FindsTheUnitOnComTwoAndRunsThereWithThePromptItSaw) {
  auto unit = StartUnit();
  // COM1 does not exist on this machine; COM2 is the unit's pty.
  setenv("ZARNIK_COM1", (dir / "no-such-port").c_str(), 1);
  setenv("ZARNIK_COM2", devicePath.c_str(), 1);

  auto enter = Cli({"enter.sld"});
  ASSERT_EQ(enter->Wait(30000), 0) << enter->Stderr();
  EXPECT_NE(enter->Stderr().find("status: Established communication on COM 2"), std::string::npos)
      << enter->Stderr();
  EXPECT_NE(enter->Stderr().find("unit answered on COM 2 (" + devicePath + ")"), std::string::npos);

  // The unit now answers ">" only: found after the wait for "#", and the load's
  // prompt check waits for ">" without any _TC in the script.
  auto load = Cli({"load.sld"});
  ASSERT_EQ(load->Wait(30000), 0) << load->Stderr();
  EXPECT_NE(load->Stderr().find("Upload Complete."), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "images" / "image-1.bin"), ReadFile(dir / "fw.bin"));

  // --no-probe opens the named port and says nothing about the unit.
  auto plain = Cli({"enter.sld", "--no-probe", "--port", devicePath});
  ASSERT_EQ(plain->Wait(30000), 0) << plain->Stderr();
  EXPECT_EQ(plain->Stderr().find("Established communication"), std::string::npos);
  unit->Signal(SIGTERM);
  EXPECT_EQ(unit->Wait(5000), 0);
}

TEST_F(Probe, TheSettingsFilesPortIsTriedFirst) {
  auto one = StartUnit();
  const std::string onePath = devicePath;
  fs::create_directories(dir / "images2");
  auto two = StartUnit({"--save-images", (dir / "images2").string()});
  setenv("ZARNIK_COM1", onePath.c_str(), 1);
  setenv("ZARNIK_COM2", devicePath.c_str(), 1);
  std::ofstream(dir / "LoaderDefault.ini") << "[Loader]\nPort=COM2\n";
  std::ofstream(dir / "both.sld") << "_TC \"^M\"\n_LF fw.bin\n_LA 8000\n_LV V1\n_LP 1\n_LD\n";
  auto cli = Cli({"both.sld"});
  ASSERT_EQ(cli->Wait(30000), 0) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("unit answered on COM 2"), std::string::npos) << cli->Stderr();
  EXPECT_TRUE(fs::exists(dir / "images2" / "image-1.bin"));
  EXPECT_FALSE(fs::exists(dir / "images" / "image-1.bin"));
}

TEST_F(Probe, ANamedPortWhereNothingAnswersEndsBeforeTheScript) {
  auto unit = StartUnit({"--absent"});
  auto cli = Cli({"enter.sld", "--port", devicePath});
  EXPECT_EQ(cli->Wait(30000), 2) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("no unit answered on " + devicePath), std::string::npos)
      << cli->Stderr();
  EXPECT_EQ(cli->Stderr().find("Reading script file"), std::string::npos);
}

}  // namespace
}  // namespace zarnik::e2e
