// The real zarnik in automatic mode against zarnik-unit-sim on a pty: the settings
// file names the script, the program loads it and ends by itself, and its exit
// status tells the outcome.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "process.h"
#include "support/scratch_folder.h"
#include "x_session.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;

struct DesktopAutomatic : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("gui-e2e");
    fs::create_directories(dir / "images");
    firmware.resize(6500);
    std::mt19937 gen(9);
    for (auto& c : firmware) c = static_cast<char>(gen() & 0xFF);
    WriteFile(dir / "fw.bin", firmware);
    WriteFile(dir / "auto.sld", "_TC \"^M\"\n_LP 1\n_LF " + (dir / "fw.bin").string() +
                                    "\n_LA 8000\n_LV V1.06\n_LD\n");
    // Positions 1 to 8: no default port, 38400 baud, 8N1, the script, a folder, the mode.
    WriteFile(dir / "LoaderDefault.ini",
              "[Loader]\nPort=\nBaud=38400\nData=8\nParity=0\nStop=1\n"
              "Script=" +
                  (dir / "auto.sld").string() + "\nFolder=.\nMode=Automatic\n");
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<Process> StartUnit(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--save-images", (dir / "images").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto unit = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    devicePath = unit->ReadLine(5000);
    EXPECT_FALSE(devicePath.empty()) << unit->Stderr();
    return unit;
  }

  // display: an X display to show the windows on; offscreen without one.
  std::unique_ptr<Process> StartZarnik(const std::string& display = "") {
    if (display.empty()) {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else {
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      setenv("DISPLAY", display.c_str(), 1);
    }
    setenv("ZARNIK_UNATTENDED", "1", 1);
    setenv("ZARNIK_COM1", devicePath.c_str(), 1);
    setenv("ZARNIK_COM2", "/nonexistent/zarnik-e2e-com2", 1);
    // Started in the scratch folder, where its settings file is.
    return std::make_unique<Process>(ZARNIK_GUI_PATH, std::vector<std::string>{}, dir.string());
  }

  fs::path dir;
  std::string devicePath;
  std::string firmware;
};

TEST_F(DesktopAutomatic, LoadsTheScriptAndEndsWithZero) {
  auto unit = StartUnit();
  auto zarnik = StartZarnik();
  ASSERT_EQ(zarnik->Wait(60000), 0) << zarnik->Stderr();
  const fs::path image = dir / "images" / "image-1.bin";
  ASSERT_TRUE(fs::exists(image)) << zarnik->Stderr();
  EXPECT_TRUE(ReadFile(image) == firmware) << "the unit's image differs from the file";
  EXPECT_FALSE(fs::exists(dir / "images" / "image-2.bin"));
  unit->Signal(SIGTERM);
  EXPECT_EQ(unit->Wait(5000), 0);
}

TEST_F(DesktopAutomatic, AUnitThatRejectsTheLoadEndsWithOne) {
  auto unit = StartUnit({"--wrong-checksum"});
  auto zarnik = StartZarnik();
  EXPECT_EQ(zarnik->Wait(60000), 1) << zarnik->Stderr();
  EXPECT_NE(zarnik->Stderr().find("Error! Unable to receive prompt after upload."),
            std::string::npos)
      << zarnik->Stderr();
}

TEST_F(DesktopAutomatic, NoUnitAnsweringEndsWithOne) {
  auto unit = StartUnit({"--absent"});
  auto zarnik = StartZarnik();
  // Both prompt waits on COM1 run out first (about 7 s).
  EXPECT_EQ(zarnik->Wait(60000), 1) << zarnik->Stderr();
  EXPECT_NE(zarnik->Stderr().find("Error!! COM port communication failed."), std::string::npos)
      << zarnik->Stderr();
  EXPECT_FALSE(fs::exists(dir / "images" / "image-1.bin"));
}

// On a real X server: what a window manager's close box and a click do to a run.
struct DesktopAutomaticOnX : DesktopAutomatic {
  void SetUp() override {
    DesktopAutomatic::SetUp();
    if (!x.Ok()) GTEST_SKIP() << "no Xvfb to show the windows on";
  }
  // Waits for a viewable window whose title contains titlePart.
  uint32_t Window(const std::string& titlePart) {
    uint32_t w = 0;
    zarnik::testing::WaitFor([&] { return (w = x.FindWindow(titlePart)) != 0; }, 30000);
    return w;
  }
  void UseScript(const std::string& script) { WriteFile(dir / "auto.sld", script); }
  XSession x;
};

// A close request after the run has failed (during its _DY) ends the program with 1,
// and the script goes no further.
TEST_F(DesktopAutomaticOnX, ACloseRequestAfterAnErrorEndsWithOne) {
  UseScript("_TC \"^M\"\n_LF nonexistent.bin\n_DY 3000\n_DM \"after\"\n");
  auto unit = StartUnit();
  auto zarnik = StartZarnik(x.Display());
  ASSERT_TRUE(zarnik->WaitForStderr("nonexistent.bin", 30000)) << zarnik->Stderr();
  const uint32_t main = Window(":- Zarnik");
  ASSERT_NE(main, 0u) << zarnik->Stderr();
  x.RequestClose(main);
  // Well before the 30 s of the _DY would have run out.
  EXPECT_EQ(zarnik->Wait(20000), 1) << zarnik->Stderr();
  EXPECT_EQ(zarnik->Stderr().find("after"), std::string::npos) << zarnik->Stderr();
}

// Stop on the progress window ends the run although the main window is disabled.
TEST_F(DesktopAutomaticOnX, StopEndsTheRunWithOne) {
  firmware = zarnik::testing::RandomBytes(60000, 3);
  WriteFile(dir / "fw.bin", firmware);
  UseScript("_TC \"^M\"\n_LP 1\n_LF " + (dir / "fw.bin").string() +
            "\n_LA 8000\n_LV V1.06\n_LD\n_DM \"after\"\n");
  auto unit = StartUnit();
  auto zarnik = StartZarnik(x.Display());
  const uint32_t progress = Window("File Upload Progress");
  ASSERT_NE(progress, 0u) << zarnik->Stderr();
  // The titles as given, nothing appended.
  EXPECT_EQ(x.Title(progress), "Halvern Inc. :- File Upload Progress");
  EXPECT_EQ(x.Title(Window(":- Zarnik")), "Halvern Inc. :- Zarnik");
  // The middle of Stop (376, 115; 49 x 25).
  x.Click(progress, 400, 127);
  EXPECT_EQ(zarnik->Wait(60000), 1) << zarnik->Stderr();
  EXPECT_EQ(zarnik->Stderr().find("after"), std::string::npos) << zarnik->Stderr();
}

}  // namespace
}  // namespace zarnik::e2e
