// The command channel's block send through TComPort over the simulated line paced at
// a slow baud rate, in real time: the block waits for its time on the line and goes
// through, whatever the rate, with CTS handshake on as ComPort1 has it.
#include <gtest/gtest.h>

#include <sstream>

#include "link/command_channel.h"
#include "serial/com_port.h"
#include "serial/device_sim.h"
#include "serial_test_util.h"

namespace zarnik {
namespace {

TEST(SendBytePaced, ABlockAtALowBaudRateWaitsForTheLineAndGoesThrough) {
  struct Case {
    int32_t baud;
    int count;  // small blocks, yet longer on the line than a 900 ms bound would allow
  } cases[] = {{9600, 1400}, {1200, 170}};  // about 1.5 s each
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    auto line = SimNullModem::Create("paced" + std::to_string(c.baud));
    line->SetPacing(true);
    std::ostringstream shown;
    ConsoleHost host(ConsoleHostOptions{&shown, false, "", true});
    TComPort port(host);
    port.SetDevicePath(line->Path());
    port.SetBaud(c.baud);
    port.SetAutoOpen(false);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetOpen(true);
    bool cancelled = false;
    CommandChannel ch(host, port, cancelled);
    ch.LinkMode = kLinkRs232;
    std::vector<uint8_t> block(c.count);
    for (int i = 0; i < c.count; ++i) block[i] = static_cast<uint8_t>(i * 13 + 1);

    ch.SendByte(c.count, block.data());
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(shown.str(), "");
    EXPECT_EQ(port.GetOutBuffUsed(), 0);
    ASSERT_TRUE(line->PeerWaitAvailable(block.size(), 2000));
    EXPECT_EQ(line->PeerReadAll(), std::string(block.begin(), block.end()));
  }
}

}  // namespace
}  // namespace zarnik
