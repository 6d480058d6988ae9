// Finding the unit's COM port, and the COM Port and Baud menus, on virtual time.
#include "link/com_discovery.h"

#include <gtest/gtest.h>

#include "com_bank.h"

namespace zarnik {
namespace {

using testing::ComBank;
using testing::FakeShellView;

constexpr uint64_t kWaitMs = kProbeTicks * kTickMs;  // one prompt wait while probing

// n prompt waits have run out: each counts whole ticks, so it ends within a tick of
// its length.
void ExpectWaitsRanOut(uint64_t elapsedMs, uint64_t n) {
  EXPECT_GE(elapsedMs, n * (kWaitMs - kTickMs));
  EXPECT_LE(elapsedMs, n * (kWaitMs + kTickMs) + 100);
}

sim::SimUnitOptions Absent() {
  sim::SimUnitOptions o;
  o.absent = true;
  return o;
}

// A unit already in loader mode answers a carriage return with ">" only.
void PutInLoaderMode(sim::SimUnit& unit) {
  const std::string cmd = "LOADR\r";
  unit.Receive(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size(), 0);
  std::string out;
  unit.TakeOutput(1000, out);
  ASSERT_TRUE(unit.InLoaderMode());
}

struct Rig {
  Rig() : bank(host), ch(host, bank, cancelled), disc(host, ch, view, bank.Availability()) {
    ch.LinkMode = kLinkRs232;
  }
  std::string LastStatus() const { return host.statusTexts.empty() ? "" : host.statusTexts.back(); }
  VirtualHost host;
  ComBank bank;
  bool cancelled = false;
  CommandChannel ch;
  FakeShellView view;
  ComDiscovery disc;
};

// ---- check_com ----

TEST(CheckCom, AUnitAnsweringOnlyTheLoaderPromptIsFoundAfterTheFirstWait) {
  Rig r;
  PutInLoaderMode(r.bank.AddLine(1));
  r.bank.SetBaud(19200);
  EXPECT_TRUE(r.disc.check_com(1));
  // The wait for "#" ran out first, then ">" came at once.
  ExpectWaitsRanOut(r.host.NowMs(), 1);
  EXPECT_EQ(r.bank.SentOn(1), "\r\r");
  EXPECT_TRUE(r.bank.GetOpen());
  EXPECT_FALSE(r.ch.Probing);
  EXPECT_EQ(r.ch.ExpectedPrompt, '>');
  EXPECT_EQ(r.LastStatus(), "Established communication on COM 1");
  EXPECT_EQ(r.view.comNumberLabel, "1");
  EXPECT_EQ(r.view.comBaudLabel, "19200");
  EXPECT_EQ(r.disc.LastGoodComPort, 1);
  EXPECT_TRUE(r.host.messages.empty());
}

TEST(CheckCom, ASilentPortCostsTwoWaitsAndIsClosedWithoutAMessage) {
  Rig r;
  r.bank.AddLine(1, Absent());
  EXPECT_FALSE(r.disc.check_com(1));
  ExpectWaitsRanOut(r.host.NowMs(), 2);
  EXPECT_EQ(r.bank.SentOn(1), "\r\r");
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_FALSE(r.ch.Probing);
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_TRUE(r.host.statusTexts.empty());
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_EQ(r.disc.LastGoodComPort, 0);
}

TEST(CheckCom, APortThatDoesNotExistIsSkippedAtOnceAndSilently) {
  for (int n : {0, 2, 7, -1, 70000}) {
    Rig r;
    r.bank.AddLine(1);
    EXPECT_FALSE(r.disc.check_com(n)) << n;
    EXPECT_EQ(r.bank.openCalls, 0) << n;
    EXPECT_EQ(r.host.NowMs(), 0u) << n;
    EXPECT_TRUE(r.host.messages.empty()) << n;
  }
}

TEST(CheckCom, APortHeldElsewhereIsNamedAndLeftClosed) {
  Rig r;
  r.bank.AddLine(2);
  r.bank.Line(2).FailOpenWith(ecAlreadyOpen);
  EXPECT_FALSE(r.disc.check_com(2));
  ASSERT_EQ(r.host.messages.size(), 1u);
  EXPECT_EQ(r.host.messages[0],
            "Note: COM Port #2 is not responding/being used by other applications.");
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_FALSE(r.ch.Probing);
  EXPECT_EQ(r.bank.SentOn(2), "");
}

TEST(CheckCom, APortThatVanishesDuringTheWaitIsNotResponding) {
  Rig r;
  r.bank.AddLine(1, Absent());
  r.host.ScheduleIn(500, [&] { r.bank.Line(1).SetOpen(false); });
  EXPECT_FALSE(r.disc.check_com(1));
  ASSERT_EQ(r.host.messages.size(), 1u);
  EXPECT_EQ(r.host.messages[0], "Note: COM Port #1 is not responding.");
  EXPECT_FALSE(r.ch.Probing);
  EXPECT_FALSE(r.bank.GetOpen());
}

TEST(CheckCom, ADeviceThatGoesDuringTheProbeIsNamedAndClosedAtOnce) {
  Rig r;
  r.bank.AddLine(1, Absent());
  r.host.ScheduleIn(500, [&] { r.bank.Line(1).Unplug("/dev/ttyUSB0"); });
  EXPECT_FALSE(r.disc.check_com(1));
  EXPECT_LT(r.host.NowMs(), 1000u);  // not the rest of two prompt waits
  EXPECT_EQ(r.host.messages, std::vector<std::string>{"Note: COM Port #1 is not responding."});
  EXPECT_EQ(r.LastStatus(), "Serial port failure: /dev/ttyUSB0 was disconnected.");
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_FALSE(r.ch.Probing);
}

// ---- a lost line ----

TEST(LineLost, ClosesTheLostPortAndNamesItAndACOMPickOpensAgain) {
  Rig r;
  r.bank.AddLine(1);
  ASSERT_TRUE(r.disc.check_com(1));
  r.host.statusTexts.clear();
  r.bank.Line(1).Unplug("/dev/ttyUSB0");
  r.disc.LineLost();
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.LastStatus(), "Serial port failure: /dev/ttyUSB0 was disconnected.");
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_FALSE(r.host.scriptButtonsEnabled);
  EXPECT_TRUE(r.host.messages.empty());
  // Told again (a second notice, the end of a run): the port is closed, nothing more.
  r.disc.LineLost();
  EXPECT_EQ(r.host.statusTexts.size(), 1u);

  r.disc.COM1MenuClick();
  EXPECT_TRUE(r.bank.GetOpen());
  EXPECT_EQ(r.LastStatus(), "Established communication on COM 1");
  EXPECT_EQ(r.view.comNumberLabel, "1");
  EXPECT_TRUE(r.host.scriptButtonsEnabled);
}

TEST(LineLost, ALineThatIsThereIsLeftAlone) {
  Rig r;
  r.bank.AddLine(1);
  ASSERT_TRUE(r.disc.check_com(1));
  const size_t statuses = r.host.statusTexts.size();
  r.disc.LineLost();
  EXPECT_TRUE(r.bank.GetOpen());
  EXPECT_EQ(r.host.statusTexts.size(), statuses);
  EXPECT_EQ(r.view.comNumberLabel, "1");
}

// ---- process_com ----

TEST(ProcessCom, TriesComOneFirstThenComTwo) {
  struct Case {
    bool one, two;  // a unit answers on the line
    int result;
    uint16_t number;  // the port's number afterwards
    const char* sentOn2;
  } cases[] = {
      {true, true, 1, 1, ""},
      {false, true, 1, 2, "\r"},
      {false, false, -1, 2, "\r\r"},
      {true, false, 1, 1, ""},
  };
  for (const auto& c : cases) {
    Rig r;
    r.bank.AddLine(1, c.one ? sim::SimUnitOptions{} : Absent());
    r.bank.AddLine(2, c.two ? sim::SimUnitOptions{} : Absent());
    EXPECT_EQ(r.disc.process_com(), c.result);
    EXPECT_EQ(r.bank.GetComNumber(), c.number);
    EXPECT_EQ(r.bank.SentOn(1), c.one ? "\r" : "\r\r");
    EXPECT_EQ(r.bank.SentOn(2), c.sentOn2);
    EXPECT_EQ(r.bank.GetOpen(), c.result == 1);
    EXPECT_FALSE(r.host.waitCursor);
  }
}

// ---- open_com ----

TEST(OpenCom, WithoutADefaultPortTheButtonsGoOff) {
  Rig r;
  r.bank.AddLine(1);
  r.disc.open_com();
  EXPECT_EQ(r.LastStatus(),
            "Unable to open Hardware through COM ports. Select new COM port before proceeding");
  EXPECT_FALSE(r.host.scriptButtonsEnabled);
  EXPECT_FALSE(r.bank.GetOpen());
}

TEST(OpenCom, WithADefaultPortItOpensWithoutAProbe) {
  Rig r;
  r.bank.AddLine(2);
  r.disc.DefaultComPort = 2;
  r.disc.open_com();
  EXPECT_EQ(r.LastStatus(),
            "Error opening Hardware via COM ports. Select new COM port/check RS232 connection "
            "before proceeding");
  EXPECT_TRUE(r.bank.GetOpen());
  EXPECT_EQ(r.bank.GetComNumber(), 2);
  EXPECT_EQ(r.view.comNumberLabel, "2");
  EXPECT_EQ(r.bank.SentOn(2), "");
  EXPECT_TRUE(r.host.scriptButtonsEnabled);
}

TEST(OpenCom, ADefaultPortThatWillNotOpenIsLeftClosedSilently) {
  Rig r;
  r.disc.DefaultComPort = 3;  // no such line
  r.disc.open_com();
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_EQ(r.host.statusTexts.size(), 1u);
}

// ---- COM Port menu ----

TEST(NoneMenu, NamesTheLastGoodPortOrNever) {
  Rig r;
  r.bank.AddLine(1, Absent());
  r.bank.AddLine(2);
  r.disc.NoneMenuClick();
  EXPECT_EQ(r.LastStatus(), "Note: Last successful COM port used is: Never");
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_FALSE(r.host.scriptButtonsEnabled);

  r.disc.COM2MenuClick();
  ASSERT_TRUE(r.bank.GetOpen());
  r.disc.NoneMenuClick();
  EXPECT_EQ(r.LastStatus(), "Note: Last successful COM port used is: 2");
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.bank.GetComNumber(), 0);
  EXPECT_EQ(r.view.comNumberLabel, "None");
  EXPECT_FALSE(r.host.scriptButtonsEnabled);
}

TEST(ComMenu, EnablesTheButtonsWhateverTheProbeFinds) {
  struct Case {
    int n;
    bool unitThere;
    std::vector<std::string> status;
    std::vector<std::string> messages;
  } cases[] = {
      {1,
       false,
       {"Checking COM 1.... Please wait.... ",
        "Unable to open Hardware thru COM ports. Select new COM port/check RS232 connection "
        "before proceeding"},
       {"Error! Cannot establish communication using COM 1. Please check RS232 connection"}},
      {2,
       false,
       {"Checking COM 2.... Please wait.... ",
        "Unable to open Hardware thru COM ports. Select new COM port/check RS232 connection "
        "before proceeding"},
       {"Error! Cannot establish communication using COM 2. Please check RS232 connection"}},
      {1,
       true,
       {"Checking COM 1.... Please wait.... ", "Established communication on COM 1",
        "Established communication on COM 1"},
       {}},
      {2,
       true,
       {"Checking COM 2.... Please wait.... ", "Established communication on COM 2",
        "Established communication on COM 2"},
       {}},
  };
  for (const auto& c : cases) {
    Rig r;
    r.bank.AddLine(static_cast<uint16_t>(c.n), c.unitThere ? sim::SimUnitOptions{} : Absent());
    r.host.SetScriptButtonsEnabled(false);
    bool hourglassDuringProbe = false;
    r.host.onMessage = [&](const std::string&) { hourglassDuringProbe = r.host.waitCursor; };
    if (c.n == 1)
      r.disc.COM1MenuClick();
    else
      r.disc.COM2MenuClick();
    EXPECT_EQ(r.host.statusTexts, c.status) << c.n;
    EXPECT_EQ(r.host.messages, c.messages) << c.n;
    EXPECT_TRUE(r.host.scriptButtonsEnabled) << c.n;
    EXPECT_EQ(r.view.lightsStarted, 1) << c.n;
    EXPECT_EQ(r.view.comNumberLabel, std::to_string(c.n)) << c.n;
    EXPECT_EQ(r.bank.GetOpen(), c.unitThere) << c.n;
    EXPECT_FALSE(r.host.waitCursor) << c.n;
    if (!c.unitThere) {
      EXPECT_TRUE(hourglassDuringProbe) << c.n;
    }
  }
}

TEST(ComMenu, LeavingThePciLinkShowsTheSerialSideAgain) {
  for (auto click : {&ComDiscovery::COM1MenuClick, &ComDiscovery::COM2MenuClick,
                     &ComDiscovery::SearchAllMenuClick}) {
    Rig r;
    r.bank.AddLine(1);
    r.bank.AddLine(2);
    r.ch.LinkMode = kLinkPci;
    r.view.pciEnabled = r.view.pciChecked = true;
    r.view.paneVisible = r.view.rs232GroupVisible = false;
    (r.disc.*click)();
    EXPECT_EQ(r.ch.LinkMode, kLinkRs232);
    EXPECT_FALSE(r.view.pciChecked);
    EXPECT_TRUE(r.view.paneVisible);
    EXPECT_TRUE(r.view.rs232GroupVisible);
  }
  // Without usable boards the entry is disabled and nothing about it changes.
  Rig r;
  r.bank.AddLine(1);
  r.view.paneVisible = false;
  r.disc.COM1MenuClick();
  EXPECT_FALSE(r.view.paneVisible);
}

TEST(SearchMenu, FindsTheUnitOrFallsBack) {
  {
    Rig r;
    r.bank.AddLine(1, Absent());
    r.bank.AddLine(2);
    r.host.SetScriptButtonsEnabled(false);
    r.disc.SearchAllMenuClick();
    EXPECT_EQ(r.bank.GetComNumber(), 2);
    EXPECT_TRUE(r.host.scriptButtonsEnabled);
    EXPECT_EQ(r.view.lightsStarted, 1);
    EXPECT_EQ(r.LastStatus(), "Established communication on COM 2");
  }
  {
    Rig r;
    r.bank.AddLine(1, Absent());
    r.disc.SearchAllMenuClick();
    EXPECT_EQ(r.LastStatus(),
              "Unable to open Hardware through COM ports. Select new COM port before proceeding");
    EXPECT_FALSE(r.host.scriptButtonsEnabled);
    EXPECT_EQ(r.view.lightsStarted, 0);
  }
}

// ---- Baud menu ----

TEST(BaudMenu, EachEntrySetsItsRateWithoutProbing) {
  struct Case {
    void (ComDiscovery::*click)();
    int32_t baud;
  } cases[] = {
      {&ComDiscovery::N12001Click, 1200},   {&ComDiscovery::N24001Click, 2400},
      {&ComDiscovery::N96001Click, 9600},   {&ComDiscovery::N192001Click, 19200},
      {&ComDiscovery::N384001Click, 38400}, {&ComDiscovery::N576001Click, 57600},
  };
  for (const auto& c : cases) {
    Rig r;
    r.bank.AddLine(1);
    r.bank.SetOpen(true);
    (r.disc.*c.click)();
    EXPECT_EQ(r.bank.GetBaud(), c.baud);
    EXPECT_EQ(r.view.comBaudLabel, std::to_string(c.baud));
    EXPECT_TRUE(r.bank.GetOpen());
    EXPECT_EQ(r.bank.SentOn(1), "");
    EXPECT_EQ(r.host.NowMs(), 0u);
    EXPECT_TRUE(r.host.statusTexts.empty());
  }
}

}  // namespace
}  // namespace zarnik
