// The device layer: request bytes, diagnostics and the mailbox operations, over the
// simulated boards on virtual time.
#include "pci/pci_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "pci/driver_sim.h"
#include "platform/virtual_host.h"

namespace zarnik {
namespace {

// Keeps every request as bytes and answers reads with `readValue`.
class RecordingDriver : public PciDriver {
 public:
  std::string DevicePath(int index) const override { return "dev" + std::to_string(index); }
  int Open(const std::string&, bool shared, PciHandle& handle) override {
    sharedOpens += shared;
    handle = 7;
    return 0;
  }
  int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
              size_t outSize, size_t& returned) override {
    EXPECT_EQ(handle, 7);
    codes.push_back(code);
    if (code == kPciConfigCode) {
      ConfigBuffer reply = EncodeConfig({5, 1, 0x4000, 0x4010, 0x4014, 0x4018, 0x401C});
      std::copy(reply.begin(), reply.end(), out);
      returned = outSize;
      return 0;
    }
    EXPECT_EQ(in, out);  // one buffer both ways
    requests.emplace_back(in, in + inSize);
    if (failCommands) return failCommands;
    out[8] = readValue;
    out[9] = 0xEE;  // only the lowest byte of the value is the register's
    returned = outSize;
    return 0;
  }
  int sharedOpens = 0;
  int failCommands = 0;
  uint8_t readValue = 0x5A;
  std::vector<uint32_t> codes;
  std::vector<std::vector<uint8_t>> requests;
};

struct RecordingRig {
  RecordingRig() {
    auto d = std::make_unique<RecordingDriver>();
    driver = d.get();
    layer = std::make_unique<PciDeviceLayer>(host, std::move(d), out);
  }
  VirtualHost host;
  std::ostringstream out;
  RecordingDriver* driver;
  std::unique_ptr<PciDeviceLayer> layer;
};

using Bytes = std::vector<uint8_t>;

TEST(PciDevice, CommandRequestsAreTwelveLittleEndianBytes) {
  struct Case {
    const char* what;
    std::function<int(PciDeviceLayer&)> op;
    Bytes request;
  } cases[] = {
      {"read byte",
       [](PciDeviceLayer& l) {
         uint8_t b;
         return l.ReadRegByte(3, 0x12345678, b);
       },
       {0x13, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}},
      {"write byte, sign-extended",
       [](PciDeviceLayer& l) { return l.WriteRegByte(3, 0x1008, 0x87); },
       {0x16, 0, 0, 0, 0x08, 0x10, 0, 0, 0x87, 0xFF, 0xFF, 0xFF}},
      {"write byte below 0x80",
       [](PciDeviceLayer& l) { return l.WriteRegByte(3, 0x1008, 0x03); },
       {0x16, 0, 0, 0, 0x08, 0x10, 0, 0, 0x03, 0, 0, 0}},
      {"write long",
       [](PciDeviceLayer& l) { return l.WriteRegLong(3, 0x60, 0xA1B2C3D4); },
       {0x0C, 0, 0, 0, 0x60, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingRig r;
    r.layer->DeviceHandles[3] = 7;
    EXPECT_EQ(c.op(*r.layer), 0);
    ASSERT_EQ(r.driver->requests.size(), 1u);
    EXPECT_EQ(r.driver->requests[0], c.request);
    EXPECT_EQ(r.driver->codes, std::vector<uint32_t>{kPciCommandCode});
  }
}

TEST(PciDevice, ReadRegByteTakesTheLowestByteAndWritesOnlyOnSuccess) {
  RecordingRig r;
  r.layer->DeviceHandles[0] = 7;
  uint8_t b = 0;
  EXPECT_EQ(r.layer->ReadRegByte(0, 0x10, b), 0);
  EXPECT_EQ(b, 0x5A);
  r.driver->failCommands = EIO;
  b = 0x11;
  EXPECT_EQ(r.layer->ReadRegByte(0, 0x10, b), EIO);
  EXPECT_EQ(b, 0x11);
  // A device that never opened has no handle to send on.
  EXPECT_EQ(r.layer->ReadRegByte(1, 0x10, b), EBADF);
  EXPECT_EQ(b, 0x11);
}

TEST(PciDevice, OpenBoardHandsBackTheRegistersAndPreparesTheBoard) {
  RecordingRig r;
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  EXPECT_EQ(r.layer->OpenBoard(2, data, aux, status, id), 0);
  EXPECT_EQ(r.driver->sharedOpens, 1);
  EXPECT_EQ(r.layer->DeviceHandles[2], 7);
  EXPECT_EQ((std::vector<uint32_t>{data, aux, status, id}),
            (std::vector<uint32_t>{0x4010, 0x4014, 0x4018, 0x401C}));
  ASSERT_EQ(r.driver->requests.size(), 2u);
  EXPECT_EQ(r.driver->requests[0],
            (Bytes{0x0C, 0, 0, 0, 0x60, 0x40, 0, 0, 0x87, 0x87, 0x87, 0x87}));
  EXPECT_EQ(r.driver->requests[1],
            (Bytes{0x16, 0, 0, 0, 0x60, 0x40, 0, 0, 0x87, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(r.out.str(), "");
}

// ---- Over the simulated driver ----

struct SimRig {
  explicit SimRig(const std::string& config) {
    std::string error;
    auto parsed = ParsePciSimConfig(config, error);
    EXPECT_TRUE(parsed) << error;
    auto d = std::make_unique<SimPciDriver>(host, *parsed);
    driver = d.get();
    layer = std::make_unique<PciDeviceLayer>(host, std::move(d), out);
  }
  // Opens every device as the scan does; the board at `index` set up.
  PciBoard& Open(int index) {
    for (int i = 0; i < kPciDevices; ++i) {
      uint32_t data = 0, aux = 0, status = 0, id = 0;
      if (layer->OpenBoard(i, data, aux, status, id) == 0)
        layer->PciBoards[i].Init(i, data, aux, status, id);
    }
    return layer->PciBoards[index];
  }
  VirtualHost host;
  std::ostringstream out;
  SimPciDriver* driver;
  std::unique_ptr<PciDeviceLayer> layer;
};

TEST(PciDevice, NoDevicesGiveSixteenCouldNotOpenLinesInOrder) {
  SimRig r("");
  r.Open(0);
  std::string expected;
  for (int i = 0; i < 16; ++i)
    expected += "Error! Could not open WinRTdev" + std::to_string(i) + ", error code 2.\n";
  EXPECT_EQ(r.out.str(), expected);
}

TEST(PciDevice, OldDriverVersionWarnsThreeTimesAndTheBoardStillWorks) {
  SimRig r("4:3,version=3.14");
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  EXPECT_EQ(r.layer->OpenBoard(4, data, aux, status, id), 0);
  EXPECT_EQ(r.out.str(),
            "WinRT Driver Version 3.14\nOld Winrt.sys version installed.\n"
            "Will not be able to read Vendor ID and Card ID info.\n"
            "Uninstall current library and install most current library if need to query "
            "Vendor ID and Card ID\n");
  PciBoard& b = r.layer->PciBoards[4];
  b.Init(4, data, aux, status, id);
  EXPECT_EQ(b.PutText("\r"), 0);
  r.host.Sleep(10);
  uint8_t c = 0;
  EXPECT_EQ(b.GetByte(&c), 0);
  EXPECT_EQ(c, '\r');  // the unit's answer starts with CR LF
  EXPECT_EQ(r.driver->BoardAt(4)->prepareLong, 0x87878787u);
  EXPECT_EQ(r.driver->BoardAt(4)->prepareByte, 0x87);
}

TEST(PciDevice, FailedConfigurationIsReportedAndTheHandleKept) {
  SimRig r("1:3/noconfig");
  uint32_t data = 0, aux = 0, status = 0, id = 0;
  EXPECT_EQ(r.layer->OpenBoard(1, data, aux, status, id), EIO);
  EXPECT_EQ(r.out.str(),
            "WinRTGetFullConfiguration failed error code " + std::to_string(EIO) + ".\n");
  EXPECT_NE(r.layer->DeviceHandles[1], kInvalidPciHandle);
}

TEST(PciDevice, PutTextOfAnEmptyTextSendsNoRequest) {
  SimRig r("0:3");
  PciBoard& b = r.Open(0);
  const size_t before = r.driver->BoardAt(0)->requests.size();
  EXPECT_EQ(b.PutText(""), 0);
  EXPECT_EQ(r.driver->BoardAt(0)->requests.size(), before);
}

TEST(PciDevice, PutTextToABusyBoardGivesUpAfterFiftyOneOffersAndAboutTwentyFiveSeconds) {
  SimRig r("0:3/busy");
  PciBoard& b = r.Open(0);
  auto& board = *r.driver->BoardAt(0);
  board.requests.clear();
  const uint64_t start = r.host.NowMs();
  EXPECT_EQ(b.PutText("AB"), 1);
  EXPECT_EQ(r.host.NowMs() - start, 25000u);
  // Each offer is one status read; nothing reached the data register.
  EXPECT_EQ(board.requests.size(), 51u);
  for (const CommandRequest& q : board.requests) {
    EXPECT_EQ(q.command, kCmdReadByte);
    EXPECT_EQ(q.address, b.StatusReg);
  }
  EXPECT_EQ(board.refused, 0);
  EXPECT_EQ(board.accepted, "");
}

TEST(PciDevice, GetByteWithNothingWaitingLeavesTheDestination) {
  SimRig r("0:3");
  PciBoard& b = r.Open(0);
  uint8_t c = 0xAA;
  EXPECT_FALSE(b.RxReady());
  EXPECT_EQ(b.GetByte(&c), 1);
  EXPECT_EQ(c, 0xAA);
}

TEST(PciDevice, ResetReceiveDropsWhatWaits) {
  SimRig r("0:3");
  PciBoard& b = r.Open(0);
  EXPECT_EQ(b.PutText("VER\r"), 0);
  r.host.Sleep(10);
  EXPECT_TRUE(b.RxReady());
  EXPECT_EQ(b.ResetReceive(), 0);
  EXPECT_FALSE(b.RxReady());
}

TEST(PciDevice, AFailedStatusReadCountsAsNothingWaitingAndBusy) {
  RecordingRig r;
  r.layer->DeviceHandles[0] = 7;
  PciBoard& b = r.layer->PciBoards[0];
  b.Init(0, 0x10, 0x14, 0x18, 0x1C);
  r.driver->readValue = kStatusRxReady;  // would say a byte waits and the board is free
  r.driver->failCommands = EIO;
  EXPECT_FALSE(b.RxReady());
  EXPECT_TRUE(b.TxBusy());
  EXPECT_EQ(b.PutByte('x'), 1);
  uint8_t id = 9;
  EXPECT_EQ(b.ReadBoardId(&id), EIO);
  EXPECT_EQ(id, 9);
}

}  // namespace
}  // namespace zarnik
