// End to end: TComPort on the pty of a running zarnik-unit-sim, driven by the command
// channel exactly as the script runner drives it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "link/command_channel.h"
#include "serial/com_port.h"
#include "process.h"
#include "serial_test_util.h"


namespace zarnik {
namespace {

// The unit program, started for one test and killed after it.
struct UnitSim {
  explicit UnitSim(const std::vector<std::string>& args)
      : proc(ZARNIK_UNIT_SIM_PATH, args), path(proc.ReadLine(5000)) {}
  testing::Process proc;
  std::string path;
};

class UnitSimLink : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zarnik-serial-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    images = dir;
    sim = std::make_unique<UnitSim>(std::vector<std::string>{"--save-images", images});
    ASSERT_FALSE(sim->path.empty());
    port.SetDevicePath(sim->path);
    port.SetBaud(38400);
    port.SetAutoOpen(false);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(2000);
    port.SetBufferResume(409);
    port.SetOpen(true);
    channel.LinkMode = kLinkRs232;
  }
  void TearDown() override {
    sim.reset();
    std::string cmd = "rm -rf " + images;
    [[maybe_unused]] int r = std::system(cmd.c_str());
  }

  ConsoleHost host{testing::QuietHost()};
  TComPort port{host};
  bool cancelled = false;
  CommandChannel channel{host, port, cancelled};
  std::unique_ptr<UnitSim> sim;
  std::string images;
};

TEST_F(UnitSimLink, PromptWaitsFindTheMonitorAndTheLoader) {
  channel.Probing = true;
  channel.ExpectedPrompt = '#';
  EXPECT_TRUE(channel.SendCOMCmd_GetPrompt("\r"));
  channel.ExpectedPrompt = '>';
  EXPECT_TRUE(channel.SendCOMCmd_GetPrompt("LOADR\r"));
  EXPECT_EQ(port.InBuffUsed(), 0);
}

TEST_F(UnitSimLink, AReplyIsCollectedUpToThePrompt) {
  channel.CmdText.Assign("VER");
  channel.ReplyMinLength = 10;
  channel.SendCOMCmd_GetReply();
  EXPECT_FALSE(channel.CommandTimedOut);
  EXPECT_NE(channel.ReplyText().find("ZK-UNIT FW 2.13 BUILD 0412"), std::string::npos)
      << channel.ReplyText();
}

TEST_F(UnitSimLink, AMegabyteLoadArrivesIntactAndInOrder) {
  std::string data(1 << 20, '\0');
  uint32_t x = 7;
  uint16_t sum = 0;
  for (auto& c : data) {
    x = x * 1664525 + 1013904223;
    c = static_cast<char>(x >> 24);
    sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(c));
  }
  channel.ExpectedPrompt = '>';
  ASSERT_TRUE(channel.SendCOMCmd_GetPrompt("LOADR\r"));
  char line[64];
  std::snprintf(line, sizeof line, "LF 8000 %zu %x V1\r", data.size(), sum);
  channel.SendString(line);
  host.Sleep(500);
  for (size_t at = 0; at < data.size() && !cancelled; at += 2000) {
    int n = static_cast<int>(std::min<size_t>(2000, data.size() - at));
    channel.SendByte(n, reinterpret_cast<const uint8_t*>(data.data()) + at);
  }
  EXPECT_FALSE(cancelled);
  std::string answer;
  port.OnWaitChar = [&](TCustomComPort&, char c) { answer.push_back(c); };
  EXPECT_TRUE(port.WaitForString("LOAD OK", 200, true, false)) << answer;
  std::ifstream image(images + "/image-1.bin", std::ios::binary);
  std::string saved((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved.size(), data.size());
  EXPECT_TRUE(saved == data);
}

}  // namespace
}  // namespace zarnik
