// The unit model on virtual time: feed bytes, compare what comes out and when.
#include "sim_unit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zarnik::sim {
namespace {

// Drives a SimUnit on a virtual millisecond clock.
struct Bench {
  explicit Bench(SimUnitOptions options = {}) : unit(std::move(options)) { unit.Start(now); }

  void Send(std::string_view bytes) {
    unit.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
  }
  // Advances the clock through every due output within `ms`, collecting it.
  std::string RunFor(uint64_t ms) {
    const uint64_t end = now + ms;
    std::string out;
    for (auto next = unit.NextOutputTime(); next && *next <= end; next = unit.NextOutputTime()) {
      now = std::max(now, *next);
      unit.TakeOutput(now, out);
    }
    now = end;
    unit.TakeOutput(now, out);
    return out;
  }
  std::string Say(std::string_view bytes) {
    Send(bytes);
    return RunFor(1000);
  }
  // As the host's reply collector does it: text, 200 ms, discard, lone CR, collect.
  std::string Query(std::string_view text) {
    Send(text);
    RunFor(200);
    return Say("\r");
  }

  uint64_t now = 1000;
  SimUnit unit;
};

std::string Bytes(size_t n) {
  std::string data;
  for (size_t i = 0; i < n; ++i) data.push_back(static_cast<char>((i * 37 + 13) % 256));
  data[5] = '\r';
  data[6] = '\n';
  data[100] = '#';
  data[101] = '>';
  data[2000] = '\r';
  return data;
}

uint16_t Sum(std::string_view data) {
  uint32_t sum = 0;
  for (unsigned char c : data) sum += c;
  return static_cast<uint16_t>(sum);
}

TEST(SimUnitDialogue, CarriageReturnIsAnsweredWithThePromptOfTheMode) {
  struct Case {
    const char* name;
    SimUnitOptions options;
    const char* before;
    const char* send;
    const char* expected;
  };
  SimUnitOptions custom;
  custom.monitorPrompt = '$';
  custom.loaderPrompt = '%';
  const std::vector<Case> cases = {
      {"monitor", {}, "", "\r", "\r\n#"},
      {"loader", {}, "LOADR\r", "\r", "\r\n>"},
      {"CR LF counts once", {}, "", "\r\n", "\r\n#"},
      {"blanks only", {}, "", "  \r", "  \r\n#"},
      {"custom monitor prompt", custom, "", "\r", "\r\n$"},
      {"custom loader prompt", custom, "LOADR\r", "\r", "\r\n%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.options);
    bench.Say(c.before);
    EXPECT_EQ(bench.Say(c.send), c.expected);
  }
}

TEST(SimUnitDialogue, LoaderModeIsEnteredByItsCommandOnly) {
  struct Case {
    const char* name;
    SimUnitOptions options;
    const char* send;
    const char* expected;
    bool loader;
  };
  SimUnitOptions never;
  never.neverLoader = true;
  SimUnitOptions boot;
  boot.loaderModeCmd = "BOOT";
  const std::vector<Case> cases = {
      {"default", {}, "LOADR\r", "LOADR\r\nLOADER READY\r\n>", true},
      {"any case, blanks around", {}, " loadr \r", " loadr \r\nLOADER READY\r\n>", true},
      {"never loader", never, "LOADR\r", "LOADR\r\n#", false},
      {"configured command", boot, "BOOT\r", "BOOT\r\nLOADER READY\r\n>", true},
      {"default word not configured", boot, "LOADR\r", "LOADR\r\nUNKNOWN COMMAND\r\n#", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.options);
    EXPECT_EQ(bench.Say(c.send), c.expected);
    EXPECT_EQ(bench.unit.InLoaderMode(), c.loader);
  }
  Bench bench;
  bench.Say("LOADR\r");
  EXPECT_EQ(bench.Say("EXIT\r"), "EXIT\r\nMONITOR READY\r\n#");
  EXPECT_FALSE(bench.unit.InLoaderMode());
}

TEST(SimUnitDialogue, EchoesAtArrivalAndEditsTheLine) {
  Bench bench;
  bench.Send("VEX");
  EXPECT_EQ(bench.unit.NextOutputTime(), bench.now);
  EXPECT_EQ(bench.RunFor(0), "VEX");
  // Backspace erases, control bytes and bytes above 0x7E are dropped, LF is ignored.
  EXPECT_EQ(bench.Say("\b\x01\xff" "R\r\n"), "\b \bR\r\nZK-UNIT FW 2.13 BUILD 0412\r\n#");
  EXPECT_EQ(bench.unit.ReceivedLines(), std::vector<std::string>{"VER"});
  EXPECT_EQ(bench.unit.ReceivedBytes(), "VEX\b\x01\xff" "R\r\n");
}

TEST(SimUnitDialogue, QueryRepliesSurviveTheReplyCollector) {
  const std::vector<std::string> commands = {"VER", "STAT", "SN", "MODE", "HELP", "XYZZY", "ver"};
  for (bool loader : {false, true}) {
    for (const std::string& command : commands) {
      SCOPED_TRACE(command + (loader ? " in loader mode" : " in monitor mode"));
      Bench bench;
      if (loader) bench.Say("LOADR\r");
      const std::string reply = bench.Query(command);
      const char prompt = loader ? '>' : '#';
      ASSERT_FALSE(reply.empty());
      EXPECT_EQ(reply.back(), prompt);
      // The collector ignores prompt characters among the first ten bytes and stops at the
      // first one after: the only one must be the last byte, well past ten.
      EXPECT_EQ(reply.find_first_of("#>"), reply.size() - 1);
      EXPECT_GE(reply.size() - 1, 10u);
      EXPECT_EQ(reply.substr(0, 2), "\r\n");
      EXPECT_EQ(bench.unit.InLoaderMode(), loader);
    }
  }
  Bench bench;
  EXPECT_EQ(bench.Query("FOO"), "\r\nUNKNOWN COMMAND\r\n#");
  EXPECT_EQ(bench.Query("STAT"), "\r\nSTATUS OK TEMP 41C\r\n#");
  EXPECT_EQ(bench.Query("MODE"), "\r\nMODE MONITOR\r\n#");
}

TEST(SimUnitLoad, TakesTheAnnouncedBytesAndChecksTheirSum) {
  struct Case {
    const char* name;
    std::string line;
    std::string data;
    size_t chunk;
    const char* answer;
    bool ok;
  };
  const std::string big = Bytes(4001);
  char bigLine[80];
  std::snprintf(bigLine, sizeof bigLine, "LK 1F000 4001 %x 3/5/2001_9:07:21", Sum(big));
  const std::vector<Case> cases = {
      {"abc", "LF 8000 3 126 V1", "abc", 3, "\r\nLOAD OK\r\n>", true},
      {"empty", "LF 8000 0 0 V1", "", 1, "\r\nLOAD OK\r\n>", true},
      {"4001 bytes in host blocks", bigLine, big, 2000, "\r\nLOAD OK\r\n>", true},
      {"4001 bytes one at a time", bigLine, big, 1, "\r\nLOAD OK\r\n>", true},
      {"sum mismatch", "LF 8000 3 127 V1", "abc", 3, "\r\nCHECKSUM ERROR\r\n#", false},
      {"empty with a sum", "LF 8000 0 5 V1", "", 1, "\r\nCHECKSUM ERROR\r\n#", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.Say("LOADR\r");
    bench.Send(c.line + "\r");
    std::string out = bench.RunFor(0);  // echo of the line
    for (size_t at = 0; at < c.data.size(); at += c.chunk) {
      EXPECT_TRUE(bench.unit.InDataPhase());
      bench.Send(std::string_view(c.data).substr(at, c.chunk));
      out += bench.RunFor(0);
    }
    out += bench.RunFor(1000);
    EXPECT_EQ(out, c.line + c.answer);  // data is never echoed
    EXPECT_EQ(bench.unit.InLoaderMode(), c.ok);
    ASSERT_EQ(bench.unit.Images().size(), 1u);
    const LoadedImage& image = bench.unit.Images()[0];
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), c.data);
    EXPECT_EQ(image.size, c.data.size());
    EXPECT_EQ(image.ok, c.ok);
    EXPECT_TRUE(image.complete);
    EXPECT_EQ(bench.unit.ReceivedLines().back(), c.line);
    EXPECT_EQ(bench.unit.ReceivedLines().size(), 2u);  // the data holds CRs but makes no lines
    // Back at a prompt and taking lines again.
    EXPECT_EQ(bench.Say("\r"), c.ok ? "\r\n>" : "\r\n#");
  }
}

TEST(SimUnitLoad, RecordsWhatTheLineAnnounced) {
  Bench bench;
  bench.Say("LOADR\r");
  bench.Say("LK 8000 3 126 3/5/2001_9:07:21 EXTRA\rabc");
  const LoadedImage& image = bench.unit.Images().at(0);
  EXPECT_EQ(image.loadWord, "LK");
  EXPECT_EQ(image.address, "8000");
  EXPECT_EQ(image.version, "3/5/2001_9:07:21 EXTRA");
  EXPECT_EQ(image.size, 3u);
  EXPECT_EQ(image.checksum, 0x126);
}

TEST(SimUnitLoad, WrongChecksumFailsEveryLoad) {
  SimUnitOptions options;
  options.wrongChecksum = true;
  Bench bench(options);
  bench.Say("LOADR\r");
  EXPECT_EQ(bench.Say("LF 8000 3 126 V1\rabc"), "LF 8000 3 126 V1\r\nCHECKSUM ERROR\r\n#");
  EXPECT_FALSE(bench.unit.Images().at(0).ok);
  EXPECT_EQ(bench.unit.Images().at(0).data.size(), 3u);
  EXPECT_EQ(bench.Say("\r"), "\r\n#");
}

TEST(SimUnitLoad, RefusesLoadLinesItCannotUse) {
  const std::vector<std::string> bad = {
      "LF 8000", "LF 8000 3", "LF 8000 x3 126 V1", "LF 8000 -3 126 V1", "LF 8000 3 12g V1",
      "LF 8000 3 10000 V1", "LF 8000 99999999999 0 V1",
  };
  for (const std::string& line : bad) {
    SCOPED_TRACE(line);
    Bench bench;
    bench.Say("LOADR\r");
    EXPECT_EQ(bench.Say(line + "\r"), line + "\r\nBAD LOAD LINE\r\n>");
    EXPECT_TRUE(bench.unit.Images().empty());
    EXPECT_FALSE(bench.unit.InDataPhase());
  }
  Bench monitor;
  EXPECT_EQ(monitor.Say("LF 8000 3 126 V1\r"), "LF 8000 3 126 V1\r\nUNKNOWN COMMAND\r\n#");
  EXPECT_TRUE(monitor.unit.Images().empty());
}

TEST(SimUnitDialogue, RefusesAnOverlongLine) {
  Bench bench;
  const std::string out = bench.Say(std::string(600, 'A') + "\r");
  EXPECT_EQ(out, std::string(SimUnit::kMaxLineLength, 'A') + "\r\nLINE TOO LONG\r\n#");
  EXPECT_EQ(bench.unit.ReceivedLines().at(0).size(), SimUnit::kMaxLineLength);
  EXPECT_EQ(bench.Say("VER\r"), "VER\r\nZK-UNIT FW 2.13 BUILD 0412\r\n#");
}

TEST(SimUnitTiming, AnswersStartReplyDelayAfterTheCarriageReturn) {
  SimUnitOptions options;
  options.replyDelayMs = 500;
  Bench bench(options);
  bench.Say("LOADR\r");
  bench.Send("LF 8000 3 126 V1\rab");
  bench.RunFor(0);
  bench.now += 40;
  bench.Send("c");  // the answer counts from the end of the data
  EXPECT_EQ(bench.unit.NextOutputTime(), bench.now + 500);
  std::string out;
  bench.unit.TakeOutput(bench.now + 499, out);
  EXPECT_EQ(out, "");
  bench.unit.TakeOutput(bench.now + 500, out);
  EXPECT_EQ(out, "\r\nLOAD OK\r\n>");
  EXPECT_EQ(bench.unit.NextOutputTime(), std::nullopt);
}

TEST(SimUnitTiming, BaudRatePacesEveryOutputByte) {
  SimUnitOptions options;
  options.baud = 1000;  // 10 ms a byte
  Bench bench(options);
  bench.Send("  ");
  const uint64_t t0 = bench.now;
  bench.now += 5;
  bench.Send("\r");  // answer from t0+7, behind the echo still on the line until t0+20
  std::vector<std::pair<uint64_t, char>> seen;
  for (auto next = bench.unit.NextOutputTime(); next; next = bench.unit.NextOutputTime()) {
    std::string out;
    bench.unit.TakeOutput(*next, out);
    for (char c : out) seen.emplace_back(*next - t0, c);
  }
  const std::vector<std::pair<uint64_t, char>> expected = {
      {10, ' '}, {20, ' '}, {30, '\r'}, {40, '\n'}, {50, '#'}};
  EXPECT_EQ(seen, expected);
}

TEST(SimUnitFaults, HangUpAfterBytesKillsTheUnit) {
  SimUnitOptions options;
  options.hangUpAfterBytes = 6;
  Bench bench(options);
  bench.Send("VER\r");
  bench.Send("STAT\r");
  EXPECT_TRUE(bench.unit.Dead());
  EXPECT_EQ(bench.unit.ReceivedBytes(), "VER\rST");
  EXPECT_EQ(bench.unit.NextOutputTime(), std::nullopt);
  EXPECT_EQ(bench.RunFor(1000), "");  // the version reply was still pending: dropped
  bench.Send("\r");
  EXPECT_EQ(bench.unit.ReceivedBytes(), "VER\rST");

  SimUnitOptions atOnce;
  atOnce.hangUpAfterBytes = 0;
  EXPECT_TRUE(SimUnit(atOnce).Dead());
}

TEST(SimUnitFaults, HangUpInTheDataLeavesAnIncompleteImage) {
  SimUnitOptions options;
  options.hangUpAfterBytes = 6 + 17 + 2;  // "LOADR\r", the load line, two data bytes
  Bench bench(options);
  bench.Say("LOADR\r");
  EXPECT_EQ(bench.Say("LF 8000 3 126 V1\rabc"), "");
  ASSERT_EQ(bench.unit.Images().size(), 1u);
  EXPECT_EQ(bench.unit.Images()[0].data.size(), 2u);
  EXPECT_FALSE(bench.unit.Images()[0].complete);
  EXPECT_FALSE(bench.unit.Images()[0].ok);
}

TEST(SimUnitFaults, AbsentUnitSaysNothingButHearsEverything) {
  SimUnitOptions options;
  options.absent = true;
  options.unsolicited = "ALARM";
  options.unsolicitedEveryMs = 10;
  Bench bench(options);
  EXPECT_EQ(bench.Say("\rLOADR\rVER\r"), "");
  EXPECT_EQ(bench.unit.NextOutputTime(), std::nullopt);
  EXPECT_FALSE(bench.unit.InLoaderMode());
  EXPECT_EQ(bench.unit.ReceivedLines(), (std::vector<std::string>{"", "LOADR", "VER"}));
}

TEST(SimUnitFaults, DisconnectDropsPendingOutputAndCutsTheLoad) {
  Bench bench;
  bench.Send("LOADR\r");  // its answer not yet due: lost with the cable
  bench.Send("LF 8000 3 126 V1\ra");
  bench.unit.Disconnect();
  EXPECT_EQ(bench.Say("bc\rVER\r"), "");
  ASSERT_EQ(bench.unit.Images().size(), 1u);
  EXPECT_FALSE(bench.unit.Images()[0].complete);
}

TEST(SimUnitDialogue, SerialNumberIsTheUnitsOwnAndCountsUp) {
  SimUnitOptions options;
  options.serialNumber = "QA-0099";
  Bench bench(options);
  EXPECT_NE(bench.Query("SN").find("SERIAL NO QA-0099\r\n#"), std::string::npos);
  const std::pair<const char*, const char*> cases[] = {
      {"ZK-004711", "ZK-004712"}, {"ZK-0099", "ZK-0100"}, {"A9", "A10"},
      {"9-B", "10-B"},            {"UNIT", "UNIT-2"},     {"7", "8"}};
  for (const auto& [serial, next] : cases) EXPECT_EQ(NextSerialNumber(serial), next) << serial;
}

TEST(SimUnitFaults, CtsFollowsTheSwitch) {
  SimUnit unit;
  EXPECT_TRUE(unit.Cts());
  unit.Options().ctsLow = true;
  EXPECT_FALSE(unit.Cts());
}

TEST(SimUnitUnsolicited, PrintsPeriodicallyWithoutSplittingAnswers) {
  SimUnitOptions options;
  options.unsolicited = "ALARM";
  options.unsolicitedEveryMs = 100;
  Bench bench(options);
  EXPECT_EQ(bench.unit.NextOutputTime(), bench.now + 100);
  EXPECT_EQ(bench.RunFor(250), "ALARMALARM");

  // Due in the middle of a paced answer: it waits for the answer's last byte.
  bench.unit.Options().baud = 1000;
  bench.now = 1290;
  bench.Send("\r");
  EXPECT_EQ(bench.RunFor(90), "\r\n#ALARM");
}

TEST(SimUnitUnsolicited, StaysQuietWhileLoadDataComesIn) {
  SimUnitOptions options;
  options.unsolicited = "ALARM";
  options.unsolicitedEveryMs = 100;
  Bench bench(options);
  bench.Say("LOADR\r");
  bench.Send("LF 8000 3 126 V1\ra");
  bench.RunFor(0);
  EXPECT_EQ(bench.RunFor(350), "");
  bench.Send("bc");
  EXPECT_EQ(bench.RunFor(10), "\r\nLOAD OK\r\n>");
  EXPECT_EQ(bench.RunFor(100), "ALARM");
}

}  // namespace
}  // namespace zarnik::sim
