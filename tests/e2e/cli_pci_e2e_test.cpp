// zarnik-cli --pci over the simulated boards: the real program, real time.
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

// ZARNIK_PCI_SIM for the programs started while it lives.
struct SimBoards {
  explicit SimBoards(const char* config) { setenv("ZARNIK_PCI_SIM", config, 1); }
  ~SimBoards() { unsetenv("ZARNIK_PCI_SIM"); }
};

struct PciBench : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("pci-e2e");
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string(2500, 'x');
    std::ofstream(dir / "load.sld", std::ios::binary)
        << "_TC \"^M\"\n_LP 1\n_LF " << (dir / "fw.bin").string() << "\n_LA 8000\n_LV V1\n_LD\n";
  }
  void TearDown() override { fs::remove_all(dir); }
  std::unique_ptr<Process> Cli() {
    return std::make_unique<Process>(
        ZARNIK_CLI_PATH, std::vector<std::string>{"run", (dir / "load.sld").string(), "--pci"},
        dir.string());
  }
  static std::string CouldNotOpen(int from, int to) {
    std::string lines;
    for (int i = from; i <= to; ++i)
      lines += "Error! Could not open WinRTdev" + std::to_string(i) + ", error code 2.\n";
    return lines;
  }
  fs::path dir;
};

TEST_F(PciBench, RunsTheScriptOncePerBoardInAscendingId) {
  SimBoards boards("0:5,1:2");
  auto cli = Cli();
  ASSERT_EQ(cli->Wait(60000), 0) << cli->Stderr();
  const std::string& err = cli->Stderr();
  const size_t two = err.find("PCI Board :  2");
  const size_t five = err.find("PCI Board :  5");
  ASSERT_NE(two, std::string::npos) << err;
  ASSERT_NE(five, std::string::npos) << err;
  EXPECT_LT(two, five);
  EXPECT_NE(err.find("Upload Complete."), std::string::npos);
  EXPECT_EQ(cli->Stdout(), CouldNotOpen(2, 15));
}

TEST_F(PciBench, WithoutBoardsSaysSoAndExitsWithTwo) {
  SimBoards boards("");
  auto cli = Cli();
  EXPECT_EQ(cli->Wait(20000), 2) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("no PCI boards found"), std::string::npos) << cli->Stderr();
  EXPECT_EQ(cli->Stdout(), CouldNotOpen(0, 15));
}

TEST_F(PciBench, ABadBoardIdDisablesTheLinkAndExitsWithTwo) {
  SimBoards boards("0:3,1:3");
  auto cli = Cli();
  EXPECT_EQ(cli->Wait(20000), 2) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("More than one board has the same board ID:  3"), std::string::npos)
      << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("the PCI link is disabled"), std::string::npos);
}

}  // namespace
}  // namespace zarnik::e2e
