// The board scan, the Connected entry, and runs of a script over simulated boards
// through the shared start-up core, on virtual time.
#include "pci/pci_link.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/startup.h"
#include "com_bank.h"
#include "pci/driver_sim.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ComBank;
using testing::FakeShellView;
using Messages = std::vector<std::string>;

struct Rig {
  Rig() : bank(host), core(host, bank, view, bank.Availability()) {
    view.pciEnabled = true;  // as the stored window definition has it
    bank.AddLine(1);
  }
  void Scan(const std::string& config) {
    std::string error;
    auto parsed = ParsePciSimConfig(config, error);
    ASSERT_TRUE(parsed) << error;
    auto d = std::make_unique<SimPciDriver>(host, *parsed);
    driver = d.get();
    core.ScanPciBoards(std::move(d), out);
  }
  sim::SimUnit& UnitAt(int device) { return *driver->BoardAt(device)->unit; }

  VirtualHost host;
  ComBank bank;
  FakeShellView view;
  ShellCore core;
  std::ostringstream out;
  SimPciDriver* driver = nullptr;
};

std::string Invalid(int id) {
  return "Invalid BoardID: " + std::to_string(id) +
         ".  PCI Connection will be disabled.  \r\nFor PCI to be working properly, the firmware "
         "must be version 1.02 or later and MainCode have executed.";
}

std::string Duplicate(int id) {
  return "More than one board has the same board ID:  " + std::to_string(id) +
         "\r\nPCI Connection will be disabled.  Check the switches on SW1 and try again.";
}

TEST(BoardScan, DecidesTheLinkFromTheBoardsAndTheirIds) {
  struct Case {
    const char* config;
    int linkMode;
    bool enabled;
    int selected;
    std::vector<std::pair<int, int>> entries;  // board ID -> device index
    Messages messages;
  } cases[] = {
      {"", kLinkRs232, false, -1, {}, {}},
      {"0:3", kLinkPci, true, 3, {{3, 0}}, {}},
      {"0:5,1:2", kLinkPci, true, 2, {{2, 1}, {5, 0}}, {}},
      {"2:4,7:4", kLinkRs232, false, 4, {{4, 2}}, {Duplicate(4)}},
      {"0:0x80", kLinkRs232, false, 16, {}, {Invalid(-128)}},
      {"0:16,1:1", kLinkRs232, false, 1, {{1, 1}}, {Invalid(16)}},
      // An ID that cannot be read is an invalid one.
      {"0:3/noid", kLinkRs232, false, 16, {}, {Invalid(-1)}},
      // A board whose configuration fails is left out silently.
      {"0:3/noconfig,1:6", kLinkPci, true, 6, {{6, 1}}, {}},
      {"0:3/noconfig", kLinkRs232, false, -1, {}, {}},
      // One box per bad board, in device order.
      {"0:0x90,1:2,2:2", kLinkRs232, false, 2, {{2, 1}}, {Invalid(-112), Duplicate(2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    Rig r;
    r.Scan(c.config);
    EXPECT_EQ(r.core.Channel.LinkMode, c.linkMode);
    EXPECT_EQ(r.view.pciEnabled, c.enabled);
    EXPECT_EQ(r.core.Pci.SelectedBoard, c.selected);
    std::array<int32_t, 16> table;
    table.fill(-1);
    for (auto [id, index] : c.entries) table[id] = index;
    EXPECT_EQ(r.core.Pci.BoardIndexById, table);
    EXPECT_EQ(r.host.messages, c.messages);
    EXPECT_FALSE(r.view.pciChecked);
  }
}

TEST(BoardScan, OpenStatusHoldsEachDevicesResult) {
  Rig r;
  r.Scan("1:3,4:5/noconfig");
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.core.Pci.OpenStatus[i], i == 1 ? 0 : i == 4 ? EIO : ENOENT);
  }
  EXPECT_EQ(r.core.Pci.Devices()->PciBoards[1].Index, 1);
  EXPECT_EQ(r.core.Pci.Devices()->PciBoards[1].StatusReg, 0x2008u);
}

TEST(PciConnect, PickedTwiceGoesToThePciLinkAndBack) {
  Rig r;
  r.Scan("0:3");
  r.bank.SetComNumber(1);
  r.bank.SetOpen(true);
  ASSERT_TRUE(r.bank.GetOpen());

  r.core.Pci.PCIConnectClick();
  EXPECT_EQ(r.core.Channel.LinkMode, kLinkPci);
  EXPECT_TRUE(r.view.pciChecked);
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.bank.GetComNumber(), 0);
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_EQ(r.view.paneClears, 1);
  EXPECT_FALSE(r.view.paneVisible);
  EXPECT_FALSE(r.view.rs232GroupVisible);
  EXPECT_EQ(r.host.statusTexts.back(), "Established communication on PCI board.");

  r.core.Pci.PCIConnectClick();
  EXPECT_EQ(r.core.Channel.LinkMode, kLinkRs232);
  EXPECT_FALSE(r.view.pciChecked);
  EXPECT_TRUE(r.view.paneVisible);
  EXPECT_TRUE(r.view.rs232GroupVisible);
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.bank.GetComNumber(), 0);
  EXPECT_EQ(r.host.statusTexts.back(), "Not connected.");
  // Nothing went to the board either way.
  EXPECT_TRUE(r.driver->BoardAt(0)->accepted.empty());
}

TEST(PciConnect, DoesNothingWhileTheEntryIsDisabled) {
  Rig r;
  r.Scan("0:16");
  r.core.Pci.PCIConnectClick();
  EXPECT_EQ(r.core.Channel.LinkMode, kLinkRs232);
  EXPECT_FALSE(r.view.pciChecked);
  EXPECT_TRUE(r.host.statusTexts.empty());
}

TEST(PciConnect, StartUpConnectsTheBoardTheScanChose) {
  Rig r;
  r.Scan("0:3");
  r.core.Start.SettingsPath = "/nonexistent/LoaderDefault.ini";
  r.core.Start.FormShow();
  EXPECT_TRUE(r.view.pciChecked);
  EXPECT_EQ(r.core.Channel.LinkMode, kLinkPci);
  EXPECT_EQ(r.bank.Line(1).Puts().size(), 0u);  // no probe on the serial line
  EXPECT_EQ(r.host.statusTexts.back(), "Established communication on PCI board.");
}

// ---- Runs over the boards ----

struct RunRig : Rig {
  RunRig() {
    dir = zarnik::testing::ScratchFolder("pci-run");
  }
  ~RunRig() { fs::remove_all(dir); }
  std::string Write(const std::string& name, const std::string& content) {
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  fs::path dir;
};

// What the progress window's board label showed, file by file.
struct BoardLabels : ProgressObserver {
  void ProgressShown(const ProgressModel& m) override { shown.push_back(m.PCINumberLabel()); }
  std::vector<std::string> shown;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

TEST(PciRun, LoadsTheFileIntoEveryBoardInIdOrder) {
  RunRig r;
  r.Scan("0:5,1:2");
  r.core.Pci.PCIConnectClick();
  BoardLabels labels;
  r.core.Progress.AddObserver(&labels);
  const std::string image = Pattern(4500);
  const std::string fw = r.Write("fw.bin", image);
  const std::string script =
      r.Write("load.sld", "_TC \"^M\"\n_LF " + fw + "\n_LA 8000\n_LV V1\n_LD\n");
  EXPECT_EQ(r.core.RunScript(script), UploadOutcome::Complete);
  EXPECT_EQ(labels.shown, (Messages{"PCI Board :  2", "PCI Board :  5"}));
  EXPECT_EQ(r.core.Pci.SelectedBoard, 5);
  for (int device : {0, 1}) {
    SCOPED_TRACE(device);
    sim::SimUnit& unit = r.UnitAt(device);
    ASSERT_EQ(unit.Images().size(), 1u);
    EXPECT_TRUE(unit.Images()[0].ok);
    EXPECT_EQ(std::string(unit.Images()[0].data.begin(), unit.Images()[0].data.end()), image);
    EXPECT_EQ(unit.ReceivedBytes(), r.driver->BoardAt(device)->accepted);
  }
  EXPECT_EQ(r.host.messages, Messages{"Upload Complete."});
  r.core.Progress.RemoveObserver(&labels);
}

TEST(PciRun, StopDuringTheFirstBoardLeavesTheSecondUntouched) {
  RunRig r;
  r.Scan("0:5,1:2");
  r.core.Pci.PCIConnectClick();
  struct StopAtFirstStep : ProgressObserver {
    ProgressModel* m = nullptr;
    void ProgressStepped(const ProgressModel&) override { m->Stop(); }
  } stopper;
  stopper.m = &r.core.Progress;
  r.core.Progress.AddObserver(&stopper);
  const std::string image = Pattern(5000);
  const std::string fw = r.Write("fw.bin", image);
  const std::string script =
      r.Write("load.sld", "_TC \"^M\"\n_LF " + fw + "\n_LA 8000\n_LV V1\n_LD\n_DM \"after\"\n");
  EXPECT_EQ(r.core.RunScript(script), UploadOutcome::Unsuccessful);
  r.core.Progress.RemoveObserver(&stopper);

  // Board 2 (device 1) ran first: its file went out whole, as Stop lets the file
  // being sent finish; the unit holds exactly the bytes the board accepted.
  sim::SimUnit& first = r.UnitAt(1);
  ASSERT_EQ(first.Images().size(), 1u);
  EXPECT_EQ(std::string(first.Images()[0].data.begin(), first.Images()[0].data.end()), image);
  EXPECT_EQ(first.ReceivedBytes(), r.driver->BoardAt(1)->accepted);
  // Board 5 never heard a byte.
  EXPECT_TRUE(r.UnitAt(0).ReceivedBytes().empty());
  EXPECT_TRUE(r.driver->BoardAt(0)->accepted.empty());
  EXPECT_EQ(r.host.messages, Messages{"Unsuccessful.  Upload terminated by user."});
}

TEST(PciRun, ABusyBoardEndsTheBlockWithAMessage) {
  RunRig r;
  r.Scan("0:2/busy");
  r.core.Pci.PCIConnectClick();
  const uint8_t block[3] = {1, 2, 3};
  const uint64_t start = r.host.NowMs();
  r.core.Channel.SendByte(3, block);
  EXPECT_EQ(r.host.NowMs() - start, 5000u);  // 51 offers, 100 ms apart
  EXPECT_TRUE(r.core.Progress.Cancelled);
  EXPECT_EQ(r.host.messages, Messages{"Error! PCI board not accepting data. Cancel upload."});
}

}  // namespace
}  // namespace zarnik
