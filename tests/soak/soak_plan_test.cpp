#include "soak_plan.h"

#include <gtest/gtest.h>

#include <set>

namespace zarnik::soak {
namespace {

const std::vector<Fault> kEvery(std::begin(kAllFaults), std::end(kAllFaults));

TEST(SoakPlan, StartsWithTheEdgeSizesThenEveryFaultOnce) {
  const auto plans = MakePlans(12, 5, kEvery);
  ASSERT_EQ(plans.size(), 12u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(plans[i].size, kEdgeSizes[i]);
    EXPECT_EQ(plans[i].fault, Fault::kNone);
  }
  std::set<Fault> next;
  for (int i = 4; i < 9; ++i) next.insert(plans[i].fault);
  EXPECT_EQ(next.size(), 5u) << "runs 5 to 9 must bring each other fault once";
  EXPECT_EQ(next.count(Fault::kNone), 0u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(plans[i].index, i + 1);
}

TEST(SoakPlan, TheSameSeedGivesTheSameRunsAndAnotherSeedOthers) {
  auto key = [](const std::vector<RunPlan>& plans) {
    std::vector<std::tuple<uint32_t, Fault, uint32_t, uint32_t, std::string, uint32_t>> k;
    for (const RunPlan& p : plans)
      k.emplace_back(p.size, p.fault, p.dataSeed, p.replyDelayMs, p.floodText, p.hangUpAfterData);
    return k;
  };
  EXPECT_EQ(key(MakePlans(60, 9, kEvery)), key(MakePlans(60, 9, kEvery)));
  EXPECT_NE(key(MakePlans(60, 9, kEvery)), key(MakePlans(60, 10, kEvery)));
  // A longer soak begins with the shorter one.
  auto shorter = key(MakePlans(20, 9, kEvery));
  auto longer = key(MakePlans(60, 9, kEvery));
  longer.resize(20);
  EXPECT_EQ(shorter, longer);
}

TEST(SoakPlan, EveryDrawnRunStaysInItsLimits) {
  const auto plans = MakePlans(3000, 1, kEvery);
  std::set<Fault> kinds;
  uint32_t largest = 0;
  for (const RunPlan& p : plans) {
    kinds.insert(p.fault);
    largest = std::max(largest, p.size);
    EXPECT_LE(p.size, kMaxFileSize);
    switch (p.fault) {
      case Fault::kSlowReplies:
        // Slow, but answered inside one 65-tick prompt wait.
        EXPECT_GE(p.replyDelayMs, 1u);
        EXPECT_LT(p.replyDelayMs, 65u * 55u);
        break;
      case Fault::kFlood:
        ASSERT_FALSE(p.floodText.empty());
        for (char c : p.floodText) {
          EXPECT_NE(c, '#');
          EXPECT_NE(c, '>');
          EXPECT_NE(c, '\x11');
          EXPECT_NE(c, '\x13');
        }
        break;
      case Fault::kHangUp:
        // Inside the data: some of it sent, some still to come.
        EXPECT_GE(p.hangUpAfterData, 1u) << p.index;
        EXPECT_LT(p.hangUpAfterData, p.size) << p.index;
        break;
      default:
        EXPECT_EQ(p.replyDelayMs, 0u);
        EXPECT_TRUE(p.floodText.empty());
        EXPECT_EQ(p.hangUpAfterData, 0u);
    }
  }
  EXPECT_EQ(kinds.size(), std::size(kAllFaults));
  EXPECT_GT(largest, kMaxFileSize * 9 / 10);
}

TEST(SoakPlan, AHangUpOnlySoakCutsEvenTheEdgeRunsInsideTheirData) {
  const auto plans = MakePlans(6, 3, {Fault::kHangUp});
  EXPECT_EQ(plans[0].size, 2u);  // no data to cut in an empty file
  EXPECT_EQ(plans[1].size, 1999u);
  for (const RunPlan& p : plans) {
    EXPECT_EQ(p.fault, Fault::kHangUp);
    EXPECT_GE(p.hangUpAfterData, 1u);
    EXPECT_LT(p.hangUpAfterData, p.size);
  }
}

TEST(SoakPlan, WithoutFaultNoneEveryAllowedKindStillComesEarly) {
  const std::vector<Fault> six_less_none(kEvery.begin() + 1, kEvery.end());
  const auto plans = MakePlans(5, 4, six_less_none);
  std::set<Fault> kinds;
  for (const RunPlan& p : plans) kinds.insert(p.fault);
  EXPECT_EQ(kinds.size(), 5u);
  EXPECT_EQ(kinds.count(Fault::kNone), 0u);
}

TEST(SoakPlan, FaultListsAreReadByName) {
  EXPECT_EQ(ParseFaultList("hang-up,none,hang-up"),
            (std::vector<Fault>{Fault::kNone, Fault::kHangUp}));
  for (const char* bad : {"", "none,", "bogus", "none,,flood", "None"})
    EXPECT_FALSE(ParseFaultList(bad).has_value()) << bad;
  for (Fault f : kAllFaults) EXPECT_EQ(FaultByName(FaultName(f)), f);
}

TEST(SoakPlan, TheLoadLineAndTheBytesBeforeTheDataMatchWhatTheUnitReceives) {
  RunPlan p;
  p.index = 12;
  p.size = 3;
  EXPECT_EQ(LoadLine(p, "ABC"), "LF 8000 3 c6 V12\r");
  // "\r" of the probe, "LOADR\r", "\r" before the load, the load line.
  EXPECT_EQ(BytesBeforeData(p, "ABC"), 1u + 6u + 1u + 17u);
  p.size = 600;
  const std::string big(600, '\xFF');  // 600 * 255 = 153000, cut to 16 bits
  EXPECT_EQ(ByteSum16(big), 153000 % 65536);
  EXPECT_EQ(LoadLine(p, big), "LF 8000 600 55a8 V12\r");
  const std::string script = ScriptText(p, "/tmp/x/file.bin");
  EXPECT_NE(script.find("\n_TC \"LOADR^M\"\n"), std::string::npos);
  EXPECT_NE(script.find("\n_LP 1\n"), std::string::npos);
  EXPECT_NE(script.find("\n_LF /tmp/x/file.bin\n_LA 8000\n_LV V12\n_LD\n"), std::string::npos);
}

TEST(SoakPlan, TheUnitGetsItsFaultAsOptions) {
  RunPlan p;
  p.index = 1;
  p.size = 3;
  struct Case {
    Fault fault;
    std::vector<std::string> args;
  } cases[] = {
      {Fault::kNone, {}},
      {Fault::kSlowReplies, {"--reply-delay", "750"}},
      {Fault::kFlood, {"--unsolicited", "ok\\x0D\\x0A\\x5C\\x00\\xFF", "--every", "1"}},
      {Fault::kWrongChecksum, {"--wrong-checksum"}},
      {Fault::kNeverLoader, {"--never-loader"}},
      // 1 + 6 + 1 + "LF 8000 3 c6 V1\r" (16), then 2 of the 3 data bytes.
      {Fault::kHangUp, {"--hang-up-after", "26"}},
  };
  for (const Case& c : cases) {
    p.fault = c.fault;
    p.replyDelayMs = 750;
    p.floodText = std::string("ok\r\n\\\0\xFF", 7);
    p.hangUpAfterData = 2;
    EXPECT_EQ(UnitArguments(p, "ABC"), c.args) << FaultName(c.fault);
  }
}

TEST(SoakExpected, EachFaultHasItsExactMessagesAndAnEndWithinTheTimers) {
  const std::string unsuccessful = "Unsuccessful.  Upload terminated by user.";
  RunPlan p;
  p.size = 0;
  p.fault = Fault::kNone;
  Expected ok = ExpectedFor(p, "/dev/pts/9");
  EXPECT_EQ(ok.exitStatus, 0);
  EXPECT_EQ(ok.stderrLines, std::vector<std::string>{"zarnik-cli: completed"});
  EXPECT_EQ(ok.image, ImageCheck::kIdentical);
  // Sleeps on the way: 100 ms before the loader prompt, 550 ms around the load
  // line, the one-second pause. A prompt wait that runs out (65 ticks of 55 ms)
  // where it should have been answered must not fit in what is left.
  EXPECT_LT(ok.boundMs - 1650, 65u * 55u);

  p.fault = Fault::kWrongChecksum;
  Expected bad = ExpectedFor(p, "/dev/pts/9");
  EXPECT_EQ(bad.exitStatus, 1);
  EXPECT_EQ(
      bad.stderrLines,
      (std::vector<std::string>{
          "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script. "
          "(the unit answered \"CHECKSUM ERROR\")",
          unsuccessful,
          "zarnik-cli: FAILED: Error! Unable to receive prompt after upload. Upload "
          "unsuccessful. Exiting script. (the unit answered \"CHECKSUM ERROR\")"}));
  // Three tries after the data: 65, 65 and 170 ticks, half a second between.
  EXPECT_GE(bad.boundMs, 1650u + 300u * 55u + 1000u);

  p.fault = Fault::kNeverLoader;
  Expected never = ExpectedFor(p, "/dev/pts/9");
  EXPECT_EQ(
      never.stderrLines,
      (std::vector<std::string>{"Error! Unit not in Loader Mode! Exiting script", unsuccessful,
                                "zarnik-cli: FAILED: Error! Unit not in Loader Mode! Exiting script"}));
  EXPECT_EQ(never.image, ImageCheck::kNone);
  EXPECT_GE(never.boundMs, 100u + 4u * 65u * 55u + 1000u + 2u * 2500u);

  p.fault = Fault::kHangUp;
  p.size = 300000;
  p.hangUpAfterData = 10;
  Expected gone = ExpectedFor(p, "/dev/pts/9");
  EXPECT_TRUE(gone.firstLineBegins.empty());
  EXPECT_EQ(gone.stderrLines,
            (std::vector<std::string>{
                "Error! Serial port failure: /dev/pts/9 was disconnected.", unsuccessful,
                "zarnik-cli: FAILED: Error! Serial port failure: /dev/pts/9 was disconnected."}));
  EXPECT_EQ(gone.image, ImageCheck::kNone);
  // At once: no pause, no prompt wait, and only the data before the cut.
  EXPECT_LT(gone.boundMs, ok.boundMs);

  // Slow replies and a bigger file stretch the bound; a flood does not.
  p.size = 0;
  p.fault = Fault::kSlowReplies;
  p.replyDelayMs = 1000;
  EXPECT_GE(ExpectedFor(p, "").boundMs, ok.boundMs + 4000);
  p.fault = Fault::kFlood;
  EXPECT_EQ(ExpectedFor(p, "").boundMs, ok.boundMs);
  p.size = kMaxFileSize;
  EXPECT_GT(ExpectedFor(p, "").boundMs, ok.boundMs);
}

Observed Passing() {
  Observed o;
  o.exitStatus = 1;
  o.stderrText =
      "Error! Unit not in Loader Mode! Exiting script\n"
      "Unsuccessful.  Upload terminated by user.\n"
      "zarnik-cli: FAILED: Error! Unit not in Loader Mode! Exiting script\n";
  o.wallMs = 21000;
  o.cliPeakThreads = 5;
  o.cliPeakFds = 11;
  return o;
}

TEST(SoakJudge, NamesEveryWayARunDiffersFromWhatWasExpected) {
  RunPlan p;
  p.fault = Fault::kNeverLoader;
  const Expected e = ExpectedFor(p, "/dev/pts/3");
  EXPECT_TRUE(Judge(e, Passing()).empty());

  struct Case {
    const char* what;
    void (*spoil)(Observed&);
    const char* says;
  } cases[] = {
      {"hung", [](Observed& o) { o.exitStatus = -1; }, "hung"},
      {"success reported", [](Observed& o) { o.exitStatus = 0; }, "exit status 0, expected 1"},
      {"other text", [](Observed& o) { o.stderrText = "Error! Unit not in Loader Mode!\n"; },
       "messages"},
      {"a line more", [](Observed& o) { o.stderrText += "status: x\n"; }, "messages"},
      {"no final line break", [](Observed& o) { o.stderrText.pop_back(); }, ""},
      {"slow", [](Observed& o) { o.wallMs = 60000; }, "bound"},
      {"image", [](Observed& o) { o.imageSaved = true; }, "never have completed"},
      {"second image", [](Observed& o) { o.extraImage = true; }, "second image"},
      {"unit failed", [](Observed& o) { o.unitExitStatus = 1; }, "zarnik-unit-sim"},
      {"threads", [](Observed& o) { o.cliPeakThreads = kMaxCliThreads + 1; }, "threads"},
      {"fds", [](Observed& o) { o.cliPeakFds = kMaxCliFds + 1; }, "descriptors"},
  };
  for (const Case& c : cases) {
    Observed o = Passing();
    c.spoil(o);
    const auto problems = Judge(e, o);
    if (*c.says == '\0') {
      EXPECT_TRUE(problems.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(problems.size(), 1u) << c.what;
    EXPECT_NE(problems[0].find(c.says), std::string::npos) << c.what << ": " << problems[0];
  }
}

TEST(SoakJudge, ASuccessNeedsTheImageByteForByte) {
  RunPlan p;
  const Expected e = ExpectedFor(p, "/dev/pts/3");
  Observed o;
  o.exitStatus = 0;
  o.stderrText = "zarnik-cli: completed\n";
  o.wallMs = 1700;
  EXPECT_NE(Judge(e, o).at(0).find("no image"), std::string::npos);
  o.imageSaved = true;
  EXPECT_NE(Judge(e, o).at(0).find("differs"), std::string::npos);
  o.imageIdentical = true;
  EXPECT_TRUE(Judge(e, o).empty());
  // A hung run is not also reported as slow.
  o.exitStatus = -1;
  o.wallMs = 99000;
  ASSERT_EQ(Judge(e, o).size(), 1u);
  EXPECT_NE(Judge(e, o)[0].find("hung"), std::string::npos);
}

TEST(SoakJudge, ALooseFirstLineMustStillBeginAsExpectedAndBeThere) {
  Expected e;
  e.exitStatus = 1;
  e.firstLineBegins = "Error";
  e.stderrLines = {"Unsuccessful.  Upload terminated by user."};
  e.image = ImageCheck::kNone;
  e.boundMs = 5000;
  struct Case {
    const char* stderrText;
    bool passes;
  } cases[] = {
      {"Error! Serial port failure: /dev/pts/4 was disconnected.\n"
       "Unsuccessful.  Upload terminated by user.\n",
       true},
      {"Error\nUnsuccessful.  Upload terminated by user.\n", true},
      {"Unsuccessful.  Upload terminated by user.\n", false},
      {"Upload Complete.\nUnsuccessful.  Upload terminated by user.\n", false},
      {"Error! x\n", false},
      {"Error! x\nError! y\nUnsuccessful.  Upload terminated by user.\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    Observed o;
    o.exitStatus = 1;
    o.stderrText = c.stderrText;
    o.wallMs = 1000;
    EXPECT_EQ(Judge(e, o).empty(), c.passes) << c.stderrText;
  }
}

TEST(SoakSummary, OneRowPerFaultThatRanAndATotal) {
  std::vector<RunResult> results;
  auto add = [&](Fault f, uint64_t ms, bool pass) {
    RunResult r;
    r.plan.fault = f;
    r.observed.wallMs = ms;
    r.observed.cliPeakThreads = 5;
    r.observed.cliPeakFds = pass ? 11 : 12;
    if (!pass) r.problems.push_back("x");
    results.push_back(r);
  };
  add(Fault::kNone, 1000, true);
  add(Fault::kNone, 3000, false);
  add(Fault::kHangUp, 1500, true);
  const std::string table = SummaryTable(results);
  EXPECT_NE(table.find("none                 2       1       1     2.00     3.00"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("hang-up              1       1       0     1.50     1.50"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("all                  3       2       1     1.83     3.00"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("     5-5  11-12\n"), std::string::npos);
  EXPECT_EQ(table.find("flood"), std::string::npos);
}

}  // namespace
}  // namespace zarnik::soak
