// The runner's commands on the wire, against the simulated unit on virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "script_rig.h"

namespace zarnik {
namespace {

using testing::Bytes;
using testing::ScriptRig;
using Messages = std::vector<std::string>;

TEST(SendCommand, SendsTextAndCarriageReturnAndWaits200ms) {
  ScriptRig r;
  EXPECT_TRUE(r.Read("_SC \"AB^MCD\"\n_SC \"\"\n"));
  EXPECT_EQ(Bytes(r.port.Puts()), (std::vector<std::string>{"AB\rCD\r", "\r"}));
  EXPECT_EQ(r.port.Puts()[1].atMs - r.port.Puts()[0].atMs, 200u);
}

TEST(TestLoader, AUnitAlreadyInLoaderModeGetsOnlyTheText) {
  ScriptRig r;
  size_t mark = r.UnitInLoader();
  EXPECT_TRUE(r.Read("_TC \"^M\"\n"));
  EXPECT_EQ(Bytes(r.PutsFrom(mark)), std::vector<std::string>{"\r"});
  EXPECT_EQ(r.ch.PromptTimeout, 265);
  EXPECT_EQ(r.ch.ExpectedPrompt, '>');
}

TEST(TestLoader, AUnitInMonitorModeGetsTheLoaderCommandOnce) {
  ScriptRig r;
  EXPECT_TRUE(r.Read("_TC \"^M\"\n"));
  auto puts = r.port.Puts();
  EXPECT_EQ(Bytes(puts), (std::vector<std::string>{"\r", "LOADR\r", "\r"}));
  EXPECT_EQ(puts[0].atMs, 100u);
  EXPECT_EQ(puts[2].atMs - puts[1].atMs, 1000u);
  EXPECT_TRUE(r.unit.InLoaderMode());
  EXPECT_TRUE(r.host.messages.empty());
}

// Four tries for '>', then one for '#' to tell the two failures apart.
TEST(TestLoader, FailuresEndTheScriptWithTheirMessage) {
  struct Case {
    bool absent;
    const char* message;
  } cases[] = {{false, "Error! Unit not in Loader Mode! Exiting script"},
               {true, "Error! Unable to get response from unit(_TC)! Exiting script"}};
  for (const auto& c : cases) {
    sim::SimUnitOptions o;
    o.neverLoader = true;
    o.absent = c.absent;
    ScriptRig r(o);
    EXPECT_FALSE(r.Read("_TC \"^M\"\n_DM \"never\"\n"));
    EXPECT_EQ(r.host.messages, Messages{c.message});
    auto puts = r.port.Puts();
    ASSERT_EQ(Bytes(puts), (std::vector<std::string>{"\r", "LOADR\r", "\r", "\r", "\r", "\r"}));
    const uint64_t wait = 65 * kTickMs;
    EXPECT_EQ(puts[2].atMs - puts[1].atMs, 1000u);
    for (int i : {3, 4}) {  // a failed 65-tick wait, then 2500 ms
      uint64_t gap = puts[i].atMs - puts[i - 1].atMs;
      EXPECT_GE(gap, 2500 + wait - kTickMs);
      EXPECT_LE(gap, 2500 + wait + kTickMs);
    }
  }
}

TEST(Delay, WaitsTenMillisecondsPerCount) {
  struct Case {
    const char* line;
    uint64_t ms;
  } cases[] = {{"_DY 5\n", 50}, {"_DY 0\n", 0}, {"_DY\n", 0}, {"_DY -3\n", 0}, {"_DY abc\n", 0}};
  for (const auto& c : cases) {
    ScriptRig r;
    EXPECT_TRUE(r.Read(c.line));
    EXPECT_EQ(r.host.NowMs(), c.ms) << c.line;
  }
}

TEST(Query, SendsTextThenCarriageReturn200msLater) {
  ScriptRig r;
  size_t mark = r.UnitInLoader();
  EXPECT_TRUE(r.Read("_QC \"VE^M\"\n"));
  auto puts = r.PutsFrom(mark);
  ASSERT_EQ(Bytes(puts), (std::vector<std::string>{"VE ", "\r"}));
  EXPECT_EQ(puts[1].atMs - puts[0].atMs, 200u);
}

TEST(Query, RepliesAreTestedWithoutTheirLineEnds) {
  struct Case {
    const char* test;
    Messages shown;
  } cases[] = {
      {"_CE \"ZK-UNIT FW 2.13 BUILD 0412\" _DM \"equal\"", {"equal"}},
      {"_CE \"FW 2.13\" _DM \"equal\"", {}},
      {"_CS \"FW 2.13\" _DM \"contains\"", {"contains"}},
      {"_CS \"fw 2.13\" _DM \"case\"", {}},
      {"_CS \"\" _DM \"always\"", {"always"}},
      {"_CE \"\" _DM \"empty\"", {}},
      {"_CE \"ZK-UNIT FW 2.13 BUILD 0412\"", {"Error! No line found after successful _CR"}},
      {"_CS \"FW\"   ", {"Error! No line found after successful _CS"}},
      {"_CS \"FW\" not a command", {}},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    r.UnitInLoader();
    EXPECT_TRUE(r.Read(std::string("_QC \"VER\"\n") + c.test + "\n")) << c.test;
    EXPECT_EQ(r.engine.LastReply.str(), "ZK-UNIT FW 2.13 BUILD 0412");
    EXPECT_EQ(r.host.messages, c.shown) << c.test;
  }
}

// A reply over several lines is tested as one text: its line ends are gone, so a
// test text that asks for them (\\r, \\n) does not hold.
TEST(Query, AReplyOverSeveralLinesIsTestedWithoutItsLineEnds) {
  struct Case {
    const char* test;
    bool holds;
  } cases[] = {
      {"_CE \"BOOT 1.0SERIAL 42\"", true},
      {"_CS \"1.0SER\"", true},
      {"_CS \"1.0\\r\\nSER\"", false},
      {"_CE \"BOOT 1.0\\r\\nSERIAL 42\\r\\n\"", false},
  };
  for (const auto& c : cases) {
    sim::SimUnitOptions o;
    o.absent = true;  // the reply below is the only one
    ScriptRig r(o);
    r.host.ScheduleIn(250, [&] { r.port.InjectReceived("\r\nBOOT 1.0\r\nSERIAL 42\r\n>"); });
    EXPECT_TRUE(r.Read("_QC \"INFO\"\n" + std::string(c.test) + " _DM \"held\"\n"));
    EXPECT_EQ(r.engine.LastReply.str(), "BOOT 1.0SERIAL 42");
    EXPECT_EQ(r.host.messages, c.holds ? Messages{"held"} : Messages{}) << c.test;
  }
}

TEST(Query, NestedTestsTakeOneRowEachAndRunTheInnermostCommand) {
  ScriptRig r;
  size_t mark = r.UnitInLoader();
  EXPECT_TRUE(r.Read("_QC \"SN\"\n_CS \"SERIAL\" _CE \"SERIAL NO ZK-004711\" _SC \"STAT\"\n"));
  EXPECT_EQ(r.engine.ScriptRow, 4);  // _QC 1, the test line 3
  EXPECT_EQ(r.PutsFrom(mark).back().bytes, "STAT\r");
}

TEST(Query, ANewReplyReplacesTheOldOneWhole) {
  ScriptRig r;
  r.UnitInLoader();
  std::vector<std::string> seen;  // what a record of the run is told, in order
  r.engine.QueryReplied = [&](std::string_view query, std::string_view reply) {
    seen.push_back(std::string(query) + "=" + std::string(reply));
  };
  EXPECT_TRUE(r.Read("_QC \"VER\"\n_QC \"S^MN\"\n_QC \"SN\"\n_CE \"SERIAL NO ZK-004711\" _DM \"new\"\n"));
  EXPECT_EQ(r.host.messages, Messages{"new"});
  EXPECT_EQ(seen, (std::vector<std::string>{"VER=ZK-UNIT FW 2.13 BUILD 0412", "S N=BAD LOAD LINE",
                                            "SN=SERIAL NO ZK-004711"}));
}

TEST(Query, NoAnswerTimesOutAndEndsTheReading) {
  sim::SimUnitOptions o;
  o.absent = true;
  ScriptRig r(o);
  EXPECT_TRUE(r.Read("_QC \"VER\"\n_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages,
            (Messages{"Timeout error! RS232 connection failure! Please check RS232 connection. "
                      "Exiting script.",
                      "Error! No response detected with _QC command"}));
  EXPECT_TRUE(r.progress.Cancelled);
  EXPECT_EQ(r.host.statusTexts.back(), "Unsuccessful. Upload terminated by user/error(s).");
}

TEST(Query, AFailingNestedCommandEndsTheScript) {
  ScriptRig r;
  r.UnitInLoader();
  r.unit.Options().absent = true;
  EXPECT_FALSE(r.Read("_CE \"\" _TC \"^M\"\n_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Unable to get response from unit(_TC)! Exiting script"});
}

// The Stop button as the operator presses it: a message the window thread handles
// when it next services its queue.
struct StopButton : MessageTarget {
  explicit StopButton(ScriptRig& rig) : r(rig) { r.host.AddTarget(this); }
  ~StopButton() override { r.host.RemoveTarget(this); }
  void PressAt(uint64_t atMs) {
    r.host.Schedule(atMs, [this] { r.host.Post(this, 1); });
  }
  intptr_t HandleMessage(uint32_t, uintptr_t, intptr_t) override {
    handledAtMs = r.host.NowMs();
    inPromptWait = r.ch.PromptWaiting();
    r.progress.Stop();
    return 0;
  }
  ScriptRig& r;
  uint64_t handledAtMs = 0;
  bool inPromptWait = false;
};

// A command that waits keeps the queue serviced, so Stop is seen; the command runs
// to its end and the script ends after it.
TEST(Stop, DuringAWaitTheScriptEndsAfterTheCommand) {
  struct Case {
    const char* name;
    bool inLoader;
    std::string script;   // {fw} is a three-byte file
    uint64_t pressAfter;  // ms from the start of the reading
    uint64_t seenWithin;  // the longest a wait leaves the queue alone
    bool readResult;
  } cases[] = {
      {"_DY", false, "_DY 100\n", 300, 1, true},
      {"_TC's prompt wait", false, "_TC \"^M\"\n", 2000, kTickMs, true},
      {"the pause after the data", true, "_LF {fw}\n_LA 8000\n_LV V1\n_LD\n", 2000, 3600, false},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    StopButton stop(r);
    std::string script = c.script;
    if (auto at = script.find("{fw}"); at != std::string::npos)
      script.replace(at, 4, r.files.Write("fw.bin", "abc"));
    if (c.inLoader) r.UnitInLoader();
    const uint64_t start = r.host.NowMs();
    stop.PressAt(start + c.pressAfter);
    EXPECT_EQ(r.Read(script + "_DM \"never\"\n"), c.readResult) << c.name;
    EXPECT_GE(stop.handledAtMs, start + c.pressAfter) << c.name;
    EXPECT_LE(stop.handledAtMs, start + c.pressAfter + c.seenWithin) << c.name;
    EXPECT_TRUE(r.host.messages.empty()) << c.name;
    EXPECT_EQ(r.host.statusTexts.back(), c.readResult ? msg::kReadStopped : msg::kStatusBlank);
  }
}

// A stop in the middle of a prompt wait ends it then and there, and nothing after it
// tries again: no loader-mode command, no second carriage return, no message.
TEST(Stop, APromptWaitEndsAtOnceAndIsNotRetried) {
  struct Case {
    const char* name;
    sim::SimUnitOptions unit;
    bool inLoader;
    std::string script;  // {fw} is a three-byte file
    uint64_t pressAfter;
    bool readResult;
    size_t crs;  // carriage returns the script sends, the load line's included
  } cases[] = {
      {"_TC's first wait", {.absent = true}, false, "_TC \"^M\"\n", 1000, true, 1},
      {"_LD's wait before the load", {.absent = true}, false,
       "_LF {fw}\n_LA 8000\n_LV V1\n_LD\n", 1000, false, 1},
      {"the first wait after the data", {.wrongChecksum = true}, true,
       "_LF {fw}\n_LA 8000\n_LV V1\n_LD\n", 6000, false, 3},
  };
  for (const auto& c : cases) {
    ScriptRig r(c.unit);
    StopButton stop(r);
    std::string script = c.script;
    if (auto at = script.find("{fw}"); at != std::string::npos)
      script.replace(at, 4, r.files.Write("fw.bin", "abc"));
    const size_t mark = c.inLoader ? r.UnitInLoader() : 0;
    const uint64_t start = r.host.NowMs();
    stop.PressAt(start + c.pressAfter);
    EXPECT_EQ(r.Read(script + "_DM \"never\"\n"), c.readResult) << c.name;
    EXPECT_TRUE(stop.inPromptWait) << c.name;
    EXPECT_LE(r.host.NowMs(), stop.handledAtMs + kTickMs) << c.name;
    EXPECT_TRUE(r.host.messages.empty()) << c.name;
    std::string sent;
    for (const auto& put : r.PutsFrom(mark)) sent += put.bytes;
    EXPECT_EQ(sent.find("LOADR"), std::string::npos) << c.name;
    EXPECT_EQ(static_cast<size_t>(std::count(sent.begin(), sent.end(), '\r')),
              c.crs) << c.name << ": " << sent;
    // The stop was this reading's: the next one waits in full.
    EXPECT_FALSE(r.ch.PromptWaitsEnded()) << c.name;
  }
}

TEST(PromptChar, TheNextTestLoaderWaitsForTheNewPrompt) {
  ScriptRig r;  // the unit is in monitor mode and answers '#'
  EXPECT_TRUE(r.Read("_PC \"#\"\n_TC \"^M\"\n"));
  EXPECT_EQ(r.ch.PromptChar2, '#');
  EXPECT_EQ(Bytes(r.port.Puts()), std::vector<std::string>{"\r"});
  EXPECT_FALSE(r.unit.InLoaderMode());
}

}  // namespace
}  // namespace zarnik
