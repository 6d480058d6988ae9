// The command channel on virtual time, against the simulated unit.
#include "link/command_channel.h"

#include <gtest/gtest.h>

#include "fake_port.h"

namespace zarnik {
namespace {

using testing::FakeBoard;
using testing::FakePort;

struct Rig {
  explicit Rig(sim::SimUnitOptions options = {}) : unit(options), port(host, unit), ch(host, port, cancelled) {
    port.SetOpen(true);
    ch.LinkMode = kLinkRs232;
  }
  // Puts the unit into loader mode the way a script does.
  void EnterLoader() {
    ch.ExpectedPrompt = '>';
    ch.PromptTimeout = 65;
    ASSERT_TRUE(ch.SendCOMCmd_GetPrompt("LOADR\r"));
  }
  VirtualHost host;
  sim::SimUnit unit;
  FakePort port;
  bool cancelled = false;
  CommandChannel ch;
};

// ---- Prompt wait ----

TEST(PromptWait, PromptInTimeIsSeenAndTheRestDiscarded) {
  Rig r;
  r.ch.ExpectedPrompt = '#';
  r.ch.PromptTimeout = 65;
  EXPECT_TRUE(r.ch.SendCOMCmd_GetPrompt("\r"));
  EXPECT_LT(r.host.NowMs(), 100u);
  EXPECT_EQ(r.port.SentText(), "\r");
  EXPECT_EQ(r.port.InBuffUsed(), 0u);
  EXPECT_TRUE(r.host.messages.empty());
}

TEST(PromptWait, WaitsItsTicksThenFails) {
  struct Case {
    bool probing;
    int32_t timeout;
    uint64_t expectMs;
  } cases[] = {{false, 65, 65 * kTickMs}, {false, 170, 170 * kTickMs}, {true, 265, 65 * kTickMs}};
  for (const auto& c : cases) {
    sim::SimUnitOptions o;
    o.absent = true;
    Rig r(o);
    r.ch.ExpectedPrompt = '>';
    r.ch.PromptTimeout = c.timeout;
    r.ch.Probing = c.probing;
    EXPECT_FALSE(r.ch.SendCOMCmd_GetPrompt("\r"));
    // Started at tick 0, it is over when the tick count exceeds its length.
    EXPECT_EQ(r.host.NowMs(), c.expectMs + kTickMs) << c.timeout;
    EXPECT_TRUE(r.host.messages.empty());
  }
}

TEST(PromptWait, APromptArrivingJustTooLateIsMissed) {
  sim::SimUnitOptions o;
  o.replyDelayMs = 66 * kTickMs;
  Rig r(o);
  r.ch.ExpectedPrompt = '#';
  r.ch.PromptTimeout = 65;
  EXPECT_FALSE(r.ch.SendCOMCmd_GetPrompt("\r"));
  o.replyDelayMs = 65 * kTickMs + kTickMs / 2;  // within the wait's last tick: still seen
  Rig late(o);
  late.ch.ExpectedPrompt = '#';
  late.ch.PromptTimeout = 65;
  EXPECT_TRUE(late.ch.SendCOMCmd_GetPrompt("\r"));
}

TEST(PromptWait, ClosedPortAnswersFalseAtOnceAndSendsNothing) {
  Rig r;
  r.port.SetOpen(false);
  r.ch.ExpectedPrompt = '#';
  EXPECT_FALSE(r.ch.SendCOMCmd_GetPrompt("\r"));
  EXPECT_EQ(r.host.NowMs(), 0u);
  EXPECT_TRUE(r.port.Puts().empty());
}

TEST(PromptWait, NoNoticeIsRaisedWhileWaiting) {
  Rig r;
  r.EnterLoader();
  EXPECT_TRUE(r.port.Notices().empty());
}

// ---- Reply collection ----

TEST(ReplyCollection, QueryAgainstTheUnitCollectsTheReplyBeforeThePrompt) {
  Rig r;
  r.EnterLoader();
  r.ch.ReplyMinLength = 10;
  ASSERT_TRUE(r.ch.CmdText.Assign("VER"));
  uint64_t start = r.host.NowMs();
  r.ch.SendCOMCmd_GetReply();
  EXPECT_FALSE(r.ch.ReplyPending);
  EXPECT_FALSE(r.ch.CommandTimedOut);
  EXPECT_EQ(r.ch.ReplyText(), "\r\nZK-UNIT FW 2.13 BUILD 0412\r\n");
  EXPECT_GE(r.host.NowMs() - start, 200u);  // the command and its CR are 200 ms apart
  ASSERT_GE(r.port.Puts().size(), 2u);
  auto& puts = r.port.Puts();
  EXPECT_EQ(puts[puts.size() - 2].bytes, "VER");
  EXPECT_EQ(puts.back().bytes, "\r");
  EXPECT_EQ(puts.back().atMs - puts[puts.size() - 2].atMs, 200u);
  EXPECT_FALSE(r.host.TimerEnabled(r.ch.CommandTimer));
}

// Arms collection as SendCOMCmd_GetReply leaves it, then feeds blocks by hand.
struct Collector : Rig {
  Collector() {
    ch.ReplyPending = true;
    ch.ReplyLength = 0;
  }
  void Block(std::string_view bytes) {
    port.InjectReceived(bytes);
    host.ProcessMessages();
  }
};

TEST(ReplyCollection, PromptInTheMiddleOfABlockKeepsAllButTheBlocksLastByte) {
  Collector c;
  c.Block(std::string("ab\r\n#", 5));
  EXPECT_FALSE(c.ch.ReplyPending);
  EXPECT_EQ(c.ch.ReplyText(), "ab\r\n");

  Collector d;
  d.Block("ab\r\n#>");  // both prompts in one block: the first ends it, the last byte is cut
  EXPECT_FALSE(d.ch.ReplyPending);
  EXPECT_EQ(d.ch.ReplyText(), "ab\r\n#");

  Collector e;
  e.Block("ab\r\n#xyz");
  EXPECT_EQ(e.ch.ReplyText(), "ab\r\n#xy");
}

TEST(ReplyCollection, EitherPromptCharacterEndsTheReply) {
  Collector c;
  c.ch.ExpectedPrompt = '#';
  c.Block("ok>");
  EXPECT_FALSE(c.ch.ReplyPending);
  EXPECT_EQ(c.ch.ReplyText(), "ok");
}

TEST(ReplyCollection, MinLengthIgnoresEarlyPrompts) {
  Collector c;
  c.ch.ReplyMinLength = 10;
  c.Block("ab#");
  EXPECT_TRUE(c.ch.ReplyPending);
  c.Block("cdefghij#");
  EXPECT_FALSE(c.ch.ReplyPending);
  EXPECT_EQ(c.ch.ReplyText(), "ab#cdefghij");
}

TEST(ReplyCollection, RestartsAtTheFirstByteWhenTheBufferWouldOverflow) {
  Collector c;
  c.Block(std::string(990, 'a'));
  EXPECT_EQ(c.ch.ReplyLength, 990);
  c.Block(std::string(19, 'b') + "#");
  EXPECT_FALSE(c.ch.ReplyPending);
  EXPECT_EQ(c.ch.ReplyText(), std::string(19, 'b'));
}

TEST(ReplyCollection, NothingIsReadWhileNoReplyIsPending) {
  Rig r;
  r.port.InjectReceived("stray#");
  r.host.ProcessMessages();
  EXPECT_EQ(r.port.Notices().size(), 1u);
  EXPECT_EQ(r.port.InBuffUsed(), 6u);
  EXPECT_EQ(r.ch.ReplyLength, 0);
}

TEST(ReplyCollection, AHugeNoticeIsReadInPiecesWithoutOverrunningTheBuffer) {
  Collector c;
  c.Block(std::string(2500, 'x') + "done#" + std::string(700, 'z'));
  EXPECT_FALSE(c.ch.ReplyPending);
  EXPECT_EQ(c.port.InBuffUsed(), 0u);  // the whole notice was consumed
  // Read in pieces of 999: the third holds the prompt, so the text is that piece up
  // to its last byte, which the end of the reply overwrites.
  EXPECT_EQ(c.ch.ReplyText(), std::string(502, 'x') + "done#" + std::string(491, 'z'));

  Collector d;  // a notice that never completes keeps collecting, within bounds
  d.Block(std::string(5000, 'y'));
  EXPECT_TRUE(d.ch.ReplyPending);
  EXPECT_LT(d.ch.ReplyLength, static_cast<int>(kReplyBufferSize));
  d.Block("#");
  EXPECT_FALSE(d.ch.ReplyPending);
}

TEST(CommandTimer, NoAnswerEndsTheExchangeAfterFourSeconds) {
  sim::SimUnitOptions o;
  o.absent = true;
  Rig r(o);
  ASSERT_TRUE(r.ch.CmdText.Assign("STAT"));
  r.ch.SendCOMCmd_GetReply();
  EXPECT_EQ(r.host.NowMs(), kCommandTimerMs);
  EXPECT_TRUE(r.ch.CommandTimedOut);
  EXPECT_TRUE(r.cancelled);
  EXPECT_TRUE(r.ch.ReplyPending);  // collection stays armed
  EXPECT_EQ(r.ch.ErrorText, msg::kCommandTimeout);
  ASSERT_EQ(r.host.messages.size(), 1u);
  EXPECT_EQ(r.host.messages[0],
            "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.");
  EXPECT_FALSE(r.host.TimerEnabled(r.ch.CommandTimer));
}

TEST(CommandTimer, ClosedPortReturnsAtOnce) {
  Rig r;
  r.port.SetOpen(false);
  r.ch.SendCOMCmd_GetReply();
  EXPECT_EQ(r.host.NowMs(), 0u);
  EXPECT_FALSE(r.cancelled);
}

// ---- Sending ----

TEST(SendByte, BlockArrivesWholeAndReturnsOnceDrained) {
  Rig r;
  std::vector<uint8_t> block(2000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  r.port.SetDrainBytesPerMs(11.52);  // 115200 baud
  r.ch.SendByte(2000, block.data());
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.port.GetOutBuffUsed(), 0);
  EXPECT_EQ(r.port.Delivered(), std::string(block.begin(), block.end()));
  EXPECT_GE(r.host.NowMs(), 170u);
}

TEST(SendByte, ExactlyTheFreeSpaceIsEnoughButOneMoreIsNot) {
  Rig r;
  r.port.SetDrainBytesPerMs(1000);
  r.port.HoldCtsLow(true);  // keeps what is queued in the buffer
  std::string filler(4000, 'f');
  r.port.PutBlock(filler.data(), 4000);
  std::vector<uint8_t> block(97, 'b');
  r.ch.SendByte(97, block.data());
  ASSERT_EQ(r.host.messages.size(), 1u);
  EXPECT_EQ(r.host.messages[0], "Error! Communications Port Output Buffer Overflow. Cancel upload.");
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.port.GetOutBuffUsed(), 4000);

  r.cancelled = false;
  r.ch.SendByte(96, block.data());
  EXPECT_EQ(r.port.GetOutBuffUsed(), 4096);  // accepted; then it cannot drain
  ASSERT_EQ(r.host.messages.size(), 2u);
  EXPECT_EQ(r.host.messages[1], msg::kNeverEmpties);
}

TEST(SendString, NeedsMoreThanTheTextsLength) {
  Rig r;
  r.port.HoldCtsLow(true);
  std::string filler(4000, 'f');
  r.port.PutBlock(filler.data(), 4000);
  r.ch.SendString(std::string(96, 's'));
  ASSERT_EQ(r.host.messages.size(), 1u);
  EXPECT_EQ(r.host.messages[0], "Error! Communications Port Output Buffer Overflow");
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.port.GetOutBuffUsed(), 4000);
  r.ch.SendString(std::string(95, 's'));
  EXPECT_EQ(r.port.GetOutBuffUsed(), 4095);
  EXPECT_EQ(r.host.messages.size(), 1u);
}

TEST(SendString, ClosedPortDoesNothingAndSaysNothing) {
  Rig r;
  r.port.SetOpen(false);
  r.ch.SendString("LOADR\r");
  ASSERT_TRUE(r.ch.CmdText.Assign("VER"));
  r.ch.SendCOMCmd();
  EXPECT_TRUE(r.port.Puts().empty());
  EXPECT_TRUE(r.host.messages.empty());
}

TEST(SendByte, TheWaitBoundIsFourteenSecondsOrTwiceTheLineTime) {
  struct Case {
    int count;
    int32_t baud;
    uint16_t dataBits;
    TParity parity;
    uint16_t stopBits;
    uint32_t boundMs;
  } cases[] = {
      {2000, 115200, 8, pNone, 1, 14000},  // 174 ms on the line
      {2000, 9600, 8, pNone, 1, 14000},    // 2084 ms
      {2000, 1200, 8, pNone, 1, 33334},    // 16667 ms, twice
      {2000, 1200, 7, pEven, 2, 36668},    // 11 bits a character
      {840, 1200, 8, pNone, 1, 14000},     // 7000 ms: exactly the floor
      {841, 1200, 8, pNone, 1, 14018},
      {2000, 0, 8, pNone, 1, 14000},       // no rate known: the floor
  };
  for (const auto& c : cases)
    EXPECT_EQ(SendWaitBoundMs(c.count, c.baud, c.dataBits, c.parity, c.stopBits), c.boundMs)
        << c.count << " bytes at " << c.baud;
}

TEST(SendByte, StuckOutputOrLowCtsFailOnceTheBoundHasPassed) {
  struct Case {
    int32_t baud;
    int count;
    uint64_t boundMs;
  } cases[] = {{38400, 100, 14000}, {1200, 2000, 33334}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    std::vector<uint8_t> block(c.count, 1);
    {
      Rig r;
      r.port.SetBaud(c.baud);
      r.port.HoldCtsLow(true);
      r.ch.SendByte(c.count, block.data());
      EXPECT_EQ(r.host.NowMs(), c.boundMs);
      ASSERT_EQ(r.host.messages.size(), 1u);
      EXPECT_EQ(r.host.messages[0],
                "Error! Output Buffer never empties. Check RS232 connection. Cancel upload.");
      EXPECT_TRUE(r.cancelled);
      EXPECT_EQ(r.port.GetOutBuffUsed(), c.count);  // what is still buffered stays
    }
    {
      Rig r;  // output drains (no hardware flow control) but CTS stays low
      r.port.SetBaud(c.baud);
      r.port.SetDrainIgnoresCts(true);
      r.port.HoldCtsLow(true);
      r.ch.SendByte(c.count, block.data());
      ASSERT_EQ(r.host.messages.size(), 1u);
      EXPECT_EQ(r.host.messages[0],
                "Error! CTS line not set. Check RS232 connection. Cancel upload.");
      EXPECT_TRUE(r.cancelled);
      EXPECT_GE(r.host.NowMs(), c.boundMs);
      EXPECT_EQ(r.port.Delivered().size(), size_t(c.count));
    }
  }
}

// A slow line is not a broken one: at 1200 baud a full block is still on its way
// when 14 s have passed, and goes through.
TEST(SendByte, ASlowLineGetsTheTimeItsBlockNeeds) {
  Rig r;
  r.port.SetBaud(1200);
  r.port.HoldCtsLow(true);
  r.host.Schedule(15000, [&] { r.port.HoldCtsLow(false); });
  std::vector<uint8_t> block(2000, 2);
  r.ch.SendByte(2000, block.data());
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.port.Delivered().size(), 2000u);
  EXPECT_GE(r.host.NowMs(), 15000u + 16000u);
}

TEST(SendByte, CtsComingBackInTimeLetsTheBlockThrough) {
  Rig r;
  r.port.HoldCtsLow(true);
  r.host.Schedule(800, [&] { r.port.HoldCtsLow(false); });
  std::vector<uint8_t> block(100, 1);
  r.ch.SendByte(100, block.data());
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_FALSE(r.cancelled);
  EXPECT_LT(r.host.NowMs(), 900u);  // woken when the output emptied, not at the next look
}

// The waits block in the message queue until the port says the output has emptied,
// with a look at most every 100 ms in case a port cannot say: a 2 s block costs a
// score of looks, not one per millisecond.
TEST(SendByte, WaitsWithoutPolling) {
  sim::SimUnitOptions quiet;
  quiet.absent = true;  // no echo: nothing else wakes the queue
  Rig r(quiet);
  r.port.SetBaud(9600);
  std::vector<uint8_t> block(2000, 3);
  r.ch.SendByte(2000, block.data());
  EXPECT_FALSE(r.cancelled);
  EXPECT_GE(r.host.NowMs(), 2083u);
  EXPECT_LE(r.port.StatusQueries(), 2084u / 100 + 3);
}

// ---- The PCI link ----

struct PciRig {
  PciRig() : port(host, unit), board(host, unit), ch(host, port, cancelled) {
    ch.LinkMode = kLinkPci;
    ch.SetBoard(&board);
  }
  VirtualHost host;
  sim::SimUnit unit;
  FakePort port;  // closed: the PCI link never needs it
  FakeBoard board;
  bool cancelled = false;
  CommandChannel ch;
};

TEST(PciLink, ABusyByteIsOfferedFiftyOneTimesThenTheBlockStops) {
  PciRig p;
  p.board.busyOffers = 50;
  const uint8_t data[] = {'A', 'B'};
  p.ch.SendByte(2, data);
  EXPECT_EQ(p.board.sent, "AB");
  EXPECT_EQ(p.host.NowMs(), 50 * kPciRetryMs);
  EXPECT_FALSE(p.cancelled);

  PciRig q;
  q.board.busyOffers = 51;
  q.ch.SendByte(2, data);
  EXPECT_EQ(q.board.sent, "");  // neither the refused byte nor the next
  EXPECT_EQ(q.board.offers, 51);
  EXPECT_TRUE(q.cancelled);
  ASSERT_EQ(q.host.messages.size(), 1u);
  EXPECT_EQ(q.host.messages[0], "Error! PCI board not accepting data. Cancel upload.");
}

TEST(PciLink, PromptPollCountsTenMillisecondSteps) {
  PciRig p;
  p.ch.ExpectedPrompt = '#';
  p.ch.PromptTimeout = 65;
  EXPECT_TRUE(p.ch.SendCOMCmd_GetPrompt("\r"));
  EXPECT_LE(p.host.NowMs(), 50u);
  EXPECT_EQ(p.board.resets, 1);

  PciRig q;
  q.unit.Options().absent = true;
  q.ch.ExpectedPrompt = '#';
  q.ch.PromptTimeout = 65;
  EXPECT_FALSE(q.ch.SendCOMCmd_GetPrompt("\r"));
  EXPECT_EQ(q.host.NowMs(), 650u);
  EXPECT_EQ(q.board.resets, 1);
}

// A stop reaches the window thread as a message, the way the Stop button's does.
struct StopMessage : MessageTarget {
  StopMessage(VirtualHost& host, CommandChannel& ch) : host(host), ch(ch) { host.AddTarget(this); }
  ~StopMessage() override { host.RemoveTarget(this); }
  void At(uint64_t ms) { host.Schedule(ms, [this] { host.Post(this, 1); }); }
  intptr_t HandleMessage(uint32_t, uintptr_t, intptr_t) override {
    ch.EndPromptWaits();
    return 0;
  }
  VirtualHost& host;
  CommandChannel& ch;
};

// On either link: a stop during a 265-tick wait ends it within one step; a stop
// before a wait lets it send its command but not wait; once resumed, a wait runs
// its full time.
TEST(PromptWaitStop, EndsTheWaitAtOnceAndOnlyUntilResumed) {
  struct Case {
    const char* name;
    bool pci;
    uint64_t stepMs;     // the longest a wait goes without looking
    uint64_t fullWaitMs; // an unanswered wait of 65 ticks, to within a step
  } cases[] = {{"RS-232", false, kTickMs, 65 * kTickMs}, {"PCI", true, kPciPollMs, 65 * kPciPollMs}};
  for (const auto& c : cases) {
    VirtualHost host;
    sim::SimUnitOptions o;
    o.absent = true;
    sim::SimUnit unit(o);
    FakePort port(host, unit);
    FakeBoard board(host, unit);
    bool cancelled = false;
    CommandChannel ch(host, port, cancelled);
    if (c.pci) {
      ch.LinkMode = kLinkPci;
      ch.SetBoard(&board);
    } else {
      port.SetOpen(true);
      ch.LinkMode = kLinkRs232;
    }
    auto sent = [&] { return c.pci ? board.sent : port.SentText(); };
    ch.ExpectedPrompt = '>';
    ch.PromptTimeout = 265;
    StopMessage stop(host, ch);
    stop.At(1000);
    EXPECT_FALSE(ch.SendCOMCmd_GetPrompt("\r")) << c.name;
    EXPECT_GE(host.NowMs(), 1000u) << c.name;
    EXPECT_LE(host.NowMs(), 1000u + c.stepMs) << c.name;
    // Stopped before the next wait: its command still goes out, no time passes.
    const uint64_t before = host.NowMs();
    EXPECT_FALSE(ch.SendCOMCmd_GetPrompt("\r")) << c.name;
    EXPECT_EQ(host.NowMs(), before) << c.name;
    EXPECT_EQ(sent(), "\r\r") << c.name;
    EXPECT_FALSE(ch.PromptWaiting()) << c.name;
    ch.ResumePromptWaits();
    ch.PromptTimeout = 65;
    EXPECT_FALSE(ch.SendCOMCmd_GetPrompt("\r")) << c.name;
    EXPECT_GE(host.NowMs() - before, c.fullWaitMs) << c.name;
    EXPECT_LE(host.NowMs() - before, c.fullWaitMs + c.stepMs) << c.name;
    EXPECT_TRUE(host.messages.empty()) << c.name;
    EXPECT_FALSE(cancelled) << c.name;  // the flag is the caller's
  }
}

TEST(PciLink, ReplyWaitEndsOnlyThroughTheTimer) {
  PciRig p;
  ASSERT_TRUE(p.ch.CmdText.Assign("VER"));
  p.ch.SendCOMCmd_GetReply();
  EXPECT_TRUE(p.ch.CommandTimedOut);
  EXPECT_EQ(p.host.NowMs(), kCommandTimerMs);
  EXPECT_EQ(p.board.sent, "VER\r");
}

}  // namespace
}  // namespace zarnik
