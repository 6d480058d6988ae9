// The two settings that describe devices, and the register backend over an
// ordinary file standing in for a function's resource file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pci/driver_sim.h"
#include "pci/driver_sysfs.h"
#include "pci/pci_device.h"
#include "platform/virtual_host.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

TEST(PciSimConfig, ParsesBoardsSwitchesAndVersion) {
  std::string error;
  auto c = ParsePciSimConfig(" 0:3, 1:0x80/busy/noid ,15:16/noconfig,version=3.14", error);
  ASSERT_TRUE(c) << error;
  ASSERT_EQ(c->boards.size(), 3u);
  EXPECT_EQ(c->boards[0].device, 0);
  EXPECT_EQ(c->boards[0].id, 3);
  EXPECT_FALSE(c->boards[0].busy);
  EXPECT_EQ(c->boards[1].id, 0x80);
  EXPECT_TRUE(c->boards[1].busy);
  EXPECT_TRUE(c->boards[1].failIdRead);
  EXPECT_EQ(c->boards[2].device, 15);
  EXPECT_TRUE(c->boards[2].failConfig);
  EXPECT_EQ(c->major, 3);
  EXPECT_EQ(c->minor, 14);
  EXPECT_TRUE(ParsePciSimConfig("", error)->boards.empty());
}

TEST(PciSimConfig, RefusesWhatItCannotRead) {
  for (const char* text : {"3", "0:", "16:1", "-1:2", "0:256", "0:3/slow", "0:1,0:2", "version=3",
                           "version=x.1", "0:3;1:4"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(ParsePciSimConfig(text, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(PciMap, ParsesAddressesPathsAndRegisterOffsets) {
  std::string error;
  auto m = ParsePciMap(
      "# boards in the rack, left to right\n0=0000:03:00.0 vendor=0x1234 device=0x0001\n"
      "1=0000:0a:01.2 device=0xabcd bar=2 status=0x10 id=20 vendor=4660 # slot 2, spare\n"
      "2=/tmp/regs base=0x100 data=0x104 aux=8\n",
      error, "/sys-root");
  ASSERT_TRUE(m) << error;
  ASSERT_EQ(m->size(), 3u);
  EXPECT_EQ((*m)[0].path, "/sys-root/0000:03:00.0/resource0");
  EXPECT_EQ((*m)[0].statusReg, 0x08u);
  EXPECT_EQ((*m)[1].index, 1);
  EXPECT_EQ((*m)[1].path, "/sys-root/0000:0a:01.2/resource2");
  EXPECT_EQ((*m)[1].statusReg, 0x10u);
  EXPECT_EQ((*m)[1].idReg, 20u);
  EXPECT_EQ((*m)[1].vendor, 0x1234);
  EXPECT_EQ((*m)[1].device, 0xabcd);
  EXPECT_EQ((*m)[2].path, "/tmp/regs");
  EXPECT_EQ((*m)[2].base, 0x100u);
  EXPECT_EQ((*m)[2].dataReg, 0x104u);
  EXPECT_EQ((*m)[2].auxReg, 8u);
  EXPECT_FALSE((*m)[2].vendor);
  EXPECT_TRUE(ParsePciMap("  \n# nothing\n", error)->empty());
}

TEST(PciMap, RefusesWhatItCannotRead) {
  for (const char* text : {"0", "16=/x", "a=/x", "0=relative/path", "0=0000:03:00", "0=/x bar=6",
                           "0=/x status=", "0=/x colour=1", "0=/x,0=/y", "0=/x vendor=0x10000",
                           "0=0000:03:00.0", "0=0000:03:00.0 vendor=0x1234"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(ParsePciMap(text, error));
    EXPECT_FALSE(error.empty());
  }
}

fs::path TempPath(const std::string& kind) {
  return fs::temp_directory_path() /
         ("zarnik-" + kind + "-" + std::to_string(getpid()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A 4 KiB file as the register window of the map's devices ('@' in the map stands for
// its path); the layer on top of it.
struct FileRig {
  explicit FileRig(std::string mapText = "0=@ status=0x20 id=0x30 data=0x40") {
    path = TempPath("bar");
    std::ofstream(path, std::ios::binary) << std::string(4096, '\0');
    for (size_t at; (at = mapText.find('@')) != std::string::npos;)
      mapText.replace(at, 1, path.string());
    std::string error;
    auto map = ParsePciMap(mapText, error);
    EXPECT_TRUE(map) << error;
    layer = std::make_unique<PciDeviceLayer>(
        host, std::make_unique<SysfsPciDriver>(std::move(*map)), out);
  }
  ~FileRig() {
    layer.reset();
    fs::remove(path);
  }
  std::string Window() { return Contents(path); }
  void Poke(size_t at, uint8_t value) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.put(static_cast<char>(value));
  }
  VirtualHost host;
  std::ostringstream out;
  fs::path path;
  std::unique_ptr<PciDeviceLayer> layer;
};

TEST(SysfsDriver, OpensMappedDevicesOnlyAndPreparesTheBoardInItsWindow) {
  FileRig r;
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  for (int i = 0; i < kPciDevices; ++i)
    if (r.layer->OpenBoard(i, data, aux, status, id) == 0)
      r.layer->PciBoards[i].Init(i, data, aux, status, id);
  std::string expected;
  for (int i = 1; i < 16; ++i)
    expected += "Error! Could not open WinRTdev" + std::to_string(i) + ", error code 2.\n";
  EXPECT_EQ(r.out.str(), expected);
  const PciBoard& b = r.layer->PciBoards[0];
  EXPECT_EQ((std::vector<uint32_t>{b.DataReg, b.AuxReg, b.StatusReg, b.IdReg}),
            (std::vector<uint32_t>{0x40, 0x04, 0x20, 0x30}));
  // The long, then the byte over its first byte.
  EXPECT_EQ(r.Window().substr(0x60, 4), "\x87\x87\x87\x87");
}

TEST(SysfsDriver, RegisterAccessesAreOffsetsIntoTheWindow) {
  FileRig r;
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  ASSERT_EQ(r.layer->OpenBoard(0, data, aux, status, id), 0);
  PciBoard& b = r.layer->PciBoards[0];
  b.Init(0, data, aux, status, id);

  EXPECT_EQ(b.PutByte('Z'), 0);
  EXPECT_EQ(r.Window()[0x40], 'Z');
  EXPECT_EQ(b.ResetReceive(), 0);
  EXPECT_EQ(r.Window()[0x20], 0x03);

  r.Poke(0x30, 0x05);
  uint8_t boardId = 0;
  EXPECT_EQ(b.ReadBoardId(&boardId), 0);
  EXPECT_EQ(boardId, 5);

  r.Poke(0x20, kStatusRxReady | kStatusTxBusy);
  r.Poke(0x40, 'q');
  EXPECT_TRUE(b.TxBusy());
  EXPECT_EQ(b.PutByte('n'), 1);
  uint8_t c = 0;
  EXPECT_EQ(b.GetByte(&c), 0);
  EXPECT_EQ(c, 'q');

  EXPECT_EQ(r.layer->WriteRegLong(0, 0x100, 0x04030201), 0);
  EXPECT_EQ(r.Window().substr(0x100, 4), "\x01\x02\x03\x04");
}

TEST(SysfsDriver, AccessesOutsideTheWindowAreRefused) {
  FileRig r;
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  ASSERT_EQ(r.layer->OpenBoard(0, data, aux, status, id), 0);
  uint8_t b = 0x77;
  EXPECT_EQ(r.layer->ReadRegByte(0, 4096, b), EFAULT);
  EXPECT_EQ(b, 0x77);
  EXPECT_EQ(r.layer->WriteRegByte(0, 0xFFFFFFFF, 1), EFAULT);
  EXPECT_EQ(r.layer->WriteRegLong(0, 4094, 1), EFAULT);
  EXPECT_EQ(r.layer->WriteRegLong(0, 0x62, 1), EFAULT);  // not aligned
  EXPECT_EQ(r.layer->ReadRegByte(0, 4095, b), 0);
}

TEST(SysfsDriver, AMissingResourceFileIsReportedWithItsError) {
  VirtualHost host;
  std::ostringstream out;
  std::string error;
  auto map = ParsePciMap("3=/nonexistent/zarnik/resource0", error);
  ASSERT_TRUE(map);
  PciDeviceLayer layer(host, std::make_unique<SysfsPciDriver>(std::move(*map)), out);
  uint32_t data, aux, status, id;
  EXPECT_EQ(layer.OpenBoard(3, data, aux, status, id), ENOENT);
  EXPECT_EQ(out.str(), "Error! Could not open WinRTdev3, error code 2.\n");
}

TEST(SysfsDriver, DevicesSharingAResourceFileKeepTheirOwnRegisters) {
  FileRig r("0=@, 1=@ data=0x100 aux=0x104 status=0x108 id=0x10C base=0x100");
  for (int i : {0, 1}) {
    uint32_t data = 0, aux = 0, status = 0, id = 0;
    ASSERT_EQ(r.layer->OpenBoard(i, data, aux, status, id), 0);
    const uint32_t at = i == 0 ? 0 : 0x100;
    EXPECT_EQ((std::vector<uint32_t>{data, aux, status, id}),
              (std::vector<uint32_t>{at, at + 4, at + 8, at + 0x0C}));
    EXPECT_EQ(r.Window().substr(at + 0x60, 4), "\x87\x87\x87\x87");
  }
}

// A sysfs tree holding one function, 0000:03:00.0 (vendor 0x1234, device 0x0001), whose
// BAR 0 is 4 KiB.
struct FakeSysfs {
  FakeSysfs() : root(TempPath("sysfs")), function(root / "0000:03:00.0") {
    fs::create_directories(function);
    std::ofstream(function / "vendor") << "0x1234\n";
    std::ofstream(function / "device") << "0x0001\n";
    std::ofstream(function / "resource0", std::ios::binary) << std::string(4096, '\0');
  }
  ~FakeSysfs() { fs::remove_all(root); }
  fs::path root, function;
};

TEST(SysfsDriver, ChecksTheFunctionAndTheWindowBeforeWritingToIt) {
  const struct {
    const char* map;
    int openResult;
    const char* refusal;  // part of the refusal; "" for none
  } cases[] = {
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001", 0, ""},
      // The preparation long then ends on the window's last byte.
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 base=0xF9C id=0xFFF", 0, ""},
      {"0=0000:03:00.0 vendor=0x8086 device=0x0001", ENODEV,
       "0000:03:00.0 is vendor=0x1234 device=0x0001, the map says vendor=0x8086 device=0x0001"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0002", ENODEV,
       "the map says vendor=0x1234 device=0x0002"},
      {"0=0000:03:00.1 vendor=0x1234 device=0x0001", ENODEV, "cannot read the identity of"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 base=0xFFFFFFF0", EFAULT,
       "device 0 is not opened: base=0xfffffff0 puts the preparation writes (base + 0x60) "
       "outside its 4096-byte register window"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 base=0xFA0", EFAULT, "base=0xfa0 puts"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 status=0x1000", EFAULT,
       "status=0x1000 lies outside its 4096-byte register window"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 aux=0xFFFFFFFF", EFAULT, "aux=0xffffffff"},
      // The preparation long would be refused by the access itself, unseen.
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 base=0x102", EFAULT,
       "device 0 is not opened: base=0x102 puts the preparation writes (base + 0x60) at 0x162, "
       "off the 4-byte boundary a 32-bit access needs"},
      {"0=0000:03:00.0 vendor=0x1234 device=0x0001 base=0xF9D", EFAULT, "base=0xf9d puts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.map);
    FakeSysfs sysfs;
    std::string error;
    auto map = ParsePciMap(c.map, error, sysfs.root.string());
    ASSERT_TRUE(map) << error;
    auto driver = std::make_unique<SysfsPciDriver>(std::move(*map));
    if (*c.refusal)
      EXPECT_NE(driver->Refusals().find(c.refusal), std::string::npos) << driver->Refusals();
    else
      EXPECT_EQ(driver->Refusals(), "");
    VirtualHost host;
    std::ostringstream out;
    PciDeviceLayer layer(host, std::move(driver), out);
    uint32_t data, aux, status, id;
    EXPECT_EQ(layer.OpenBoard(0, data, aux, status, id), c.openResult);
    const std::string window = Contents(sysfs.function / "resource0");
    EXPECT_EQ(window.find_first_not_of('\0') != std::string::npos, c.openResult == 0);
  }
}

TEST(MakePciDriver, ABlankSimulationSettingLeavesTheMapInForce) {
  setenv("ZARNIK_PCI_SIM", " ", 1);
  setenv("ZARNIK_PCI_MAP", "0=/nonexistent/zarnik/resource0", 1);
  VirtualHost host;
  std::string error;
  auto driver = MakePciDriver(host, error);
  unsetenv("ZARNIK_PCI_SIM");
  unsetenv("ZARNIK_PCI_MAP");
  EXPECT_EQ(error, "");
  EXPECT_NE(dynamic_cast<SysfsPciDriver*>(driver.get()), nullptr);
  EXPECT_NE(driver->DevicePath(0), "");
}

}  // namespace
}  // namespace zarnik
