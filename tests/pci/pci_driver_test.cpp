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
      "# boards in the rack\n0=0000:03:00.0\n"
      "1=0000:0a:01.2 bar=2 status=0x10 id=20, 2=/tmp/regs base=0x100 data=0x104 aux=8\n",
      error, "/sys-root");
  ASSERT_TRUE(m) << error;
  ASSERT_EQ(m->size(), 3u);
  EXPECT_EQ((*m)[0].path, "/sys-root/0000:03:00.0/resource0");
  EXPECT_EQ((*m)[0].statusReg, 0x08u);
  EXPECT_EQ((*m)[1].index, 1);
  EXPECT_EQ((*m)[1].path, "/sys-root/0000:0a:01.2/resource2");
  EXPECT_EQ((*m)[1].statusReg, 0x10u);
  EXPECT_EQ((*m)[1].idReg, 20u);
  EXPECT_EQ((*m)[2].path, "/tmp/regs");
  EXPECT_EQ((*m)[2].base, 0x100u);
  EXPECT_EQ((*m)[2].dataReg, 0x104u);
  EXPECT_EQ((*m)[2].auxReg, 8u);
  EXPECT_TRUE(ParsePciMap("  \n# nothing\n", error)->empty());
}

TEST(PciMap, RefusesWhatItCannotRead) {
  for (const char* text : {"0", "16=/x", "a=/x", "0=relative/path", "0=0000:03:00", "0=/x bar=6",
                           "0=/x status=", "0=/x colour=1", "0=/x,0=/y"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(ParsePciMap(text, error));
    EXPECT_FALSE(error.empty());
  }
}

// A 4 KiB file as device 0's register window; the layer on top of it.
struct FileRig {
  FileRig() {
    path = fs::temp_directory_path() /
           ("zarnik-bar-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(path, std::ios::binary) << std::string(4096, '\0');
    std::string error;
    auto map = ParsePciMap("0=" + path.string() + " status=0x20 id=0x30 data=0x40", error);
    EXPECT_TRUE(map) << error;
    layer = std::make_unique<PciDeviceLayer>(
        host, std::make_unique<SysfsPciDriver>(std::move(*map)), out);
  }
  ~FileRig() {
    layer.reset();
    fs::remove(path);
  }
  std::string Window() {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
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

}  // namespace
}  // namespace zarnik
