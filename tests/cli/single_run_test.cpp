// The single run in this process (no child zarnik-cli), the checks shared with the
// run on several units, and the words the two kinds of process exchange.
#include "cli/single_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/preflight.h"
#include "cli/tapped_device.h"
#include "cli/unit_protocol.h"
#include "serial/device_sim.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ReadFile;
using testing::WriteFile;

struct SingleRun : ::testing::Test {
  void SetUp() override {
    dir = fs::path(::testing::TempDir()) /
          ("zarnik-single-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    WriteFile(dir / "app.bin", std::string(5000, '\x5a'));
    script = dir / "load.sld";
    WriteFile(script,
              "_TC \"^M\"\n_LF " + (dir / "app.bin").string() + "\n_LA 9000\n_LV v1\n_LD\n");
  }
  void TearDown() override { fs::remove_all(dir); }

  CliOptions Options(std::vector<std::string> args) {
    args.insert(args.begin(), "run");
    std::string error;
    auto o = ParseCliOptions(args, error);
    EXPECT_TRUE(o) << error;
    return o.value_or(CliOptions{});
  }

  fs::path dir;
  fs::path script;
};

TEST_F(SingleRun, LoadsOnTheSimulatedUnitAndRecordsTheFile) {
  std::ostringstream out;
  UnitRecorder record("simulated", script.string(), SteadyMs);
  RunWatchers watchers{record};
  const RunEnd end = RunSingle(Options({script.string(), "--simulate"}), watchers, {out});
  EXPECT_EQ(end.status, kExitComplete) << out.str();
  EXPECT_EQ(end.failText, "");
  ASSERT_EQ(record.Record().files.size(), 1u) << out.str();
  EXPECT_EQ(record.Record().files[0].size, 5000);
  EXPECT_NE(out.str().find("Upload Complete."), std::string::npos) << out.str();
}

// A port that cannot be used ends the run before the script, named by its cause.
TEST_F(SingleRun, APortThatCannotBeUsedEndsBeforeTheScriptWithItsReason) {
  auto line = SimNullModem::Create("single-run-max-rate");
  line->SetMaxBaud(921600);
  const std::string missing = (dir / "no-such-tty").string();
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--port", missing}, "cannot open " + missing + ": No such file or directory"},
      {{"--port", line->Path(), "--baud", "3000000"},
       line->Path() + " does not accept 3000000 baud"},
      {{"--port", line->Path(), "--baud=1000000", "--no-probe"},
       line->Path() + " does not accept 1000000 baud"},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    UnitRecorder record("unit", script.string(), SteadyMs);
    RunWatchers watchers{record};
    std::vector<std::string> args = {script.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunEnd end = RunSingle(Options(args), watchers, {out});
    EXPECT_EQ(end.status, kExitCannotStart) << c.says;
    EXPECT_EQ(end.failText, c.says);
    EXPECT_NE(out.str().find("zarnik-cli: " + end.failText), std::string::npos) << out.str();
    EXPECT_TRUE(record.Record().files.empty());
  }
}

// Simulated boards for the runs in this process while it lives.
struct SimBoards {
  explicit SimBoards(const char* config) { setenv("ZARNIK_PCI_SIM", config, 1); }
  ~SimBoards() { unsetenv("ZARNIK_PCI_SIM"); }
};

TEST_F(SingleRun, OnPciBoardsTheTranscriptAndTheRecordNameEachBoard) {
  SimBoards boards("0:5,1:2");
  std::ostringstream out;
  UnitRecorder record("PCI", script.string(), SteadyMs);
  RunWatchers watchers{record};
  const fs::path log = dir / "t.log";
  const RunEnd end =
      RunSingle(Options({script.string(), "--pci", "--transcript", log.string()}), watchers, {out});
  EXPECT_EQ(end.status, kExitComplete) << out.str();
  ASSERT_EQ(record.Record().files.size(), 2u) << out.str();
  EXPECT_EQ(record.Record().files[0].board, 2);
  EXPECT_EQ(record.Record().files[1].board, 5);
  const std::string t = ReadFile(log);
  const size_t two = t.find("on PCI board 2 (device 1)");
  const size_t five = t.find("on PCI board 5 (device 0)");
  ASSERT_NE(two, std::string::npos) << t;
  ASSERT_LT(two, five) << t;
  // On each board: the file's bytes to the unit and its prompts back.
  for (size_t from : {two, five}) {
    EXPECT_NE(t.find("| ZZZZZZZZ", from), std::string::npos);
    EXPECT_NE(t.find(" RX ", from), std::string::npos);
  }
}

TEST_F(SingleRun, QuietStillSaysWhyThePciLinkIsOff) {
  SimBoards boards("0:3,1:3");
  std::ostringstream out;
  UnitRecorder record("PCI", script.string(), SteadyMs);
  RunWatchers watchers{record};
  const RunEnd end = RunSingle(Options({script.string(), "--pci", "--quiet"}), watchers, {out});
  EXPECT_EQ(end.status, kExitCannotStart);
  EXPECT_NE(out.str().find("More than one board has the same board ID:  3"), std::string::npos)
      << out.str();
}

// The same mistake is found the same way for one unit and for several.
TEST_F(SingleRun, PreflightIsTheSameForOneUnitAndForSeveral) {
  fs::create_directories(dir / "dir.sld");
  const std::string none = (dir / "none").string();
  const fs::path missingFile = dir / "missing-file.sld";
  WriteFile(missingFile, "; a file that is not there\n_LF " + none + ".bin\n_LA 1\n_LV v\n_LD\n");
  const fs::path onTest = dir / "on-test.sld";
  WriteFile(onTest, "_CE \"x\" _LF " + none + ".bin\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{(dir / "dir.sld").string()}, "cannot open script " + (dir / "dir.sld").string()},
      {{(dir / "missing.sld").string()}, "missing.sld"},
      {{script.string(), "--settings", dir.string()}, "cannot read settings file"},
      {{script.string(), "--report", none + "/r.json"}, "cannot write report " + none},
      {{script.string(), "--transcript", none + "/t.log"}, "cannot write transcript " + none},
      {{missingFile.string()}, missingFile.string() + ":2: _LF: cannot open " + none + ".bin"},
  };
  for (const Case& c : cases) {
    for (const auto& ports :
         {std::vector<std::string>{"--port", "/dev/null"},
          std::vector<std::string>{"--port", "/dev/null", "--port", "/dev/zero"}}) {
      std::vector<std::string> args = c.args;
      args.insert(args.end(), ports.begin(), ports.end());
      const auto why = Preflight(Options(args));
      ASSERT_TRUE(why) << c.says;
      EXPECT_NE(why->find(c.says), std::string::npos) << *why;
    }
  }
  EXPECT_FALSE(Preflight(Options({script.string(), "--port", "/dev/null", "--port", "/dev/zero",
                                  "--transcript", (dir / "t.log").string()})));
  // What check only warns about, or a file on a test line, does not stop a run.
  EXPECT_FALSE(Preflight(Options({onTest.string()})));
  EXPECT_FALSE(Preflight(Options({missingFile.string(), "--no-check"})));
  // One device under two names, by the device, not by the text.
  fs::create_symlink("/dev/null", dir / "null-link");
  const auto twice = Preflight(Options({script.string(), "-p", "/dev/null", "-p",
                                        (dir / "null-link").string()}));
  ASSERT_TRUE(twice);
  EXPECT_NE(twice->find("name the same device"), std::string::npos) << *twice;
}

TEST(UnitAnswer, TheLastLineWithTextButNotTheLonePrompt) {
  struct Case {
    std::string received;
    std::string said;
  } cases[] = {
      {"", ""},
      {"\r\n>", ""},
      {"LF 8000 5 0 V1\r\r\nCHECKSUM ERROR\r\n>", "CHECKSUM ERROR"},
      {"\r\nLOADER READY\r\n>\r\nBAD LOAD LINE  \r\n#", "BAD LOAD LINE"},
      {"\r\nhalf a li", "half a li"},
      {std::string(300, 'x') + "\r\nOK\x01\r\n", "OK"},
  };
  for (const Case& c : cases) {
    UnitAnswer answer;
    answer.Add(reinterpret_cast<const uint8_t*>(c.received.data()), c.received.size());
    EXPECT_EQ(answer.LastLine(), c.said) << c.received;
  }
}

TEST(UnitProtocol, EveryEventSurvivesItsLine) {
  const UnitEvent events[] = {
      {UnitEvent::Kind::kFile, "main-app.bin"},
      {UnitEvent::Kind::kBar, "[####......] 2/5 blocks"},
      {UnitEvent::Kind::kIdle, ""},
      {UnitEvent::Kind::kMessage, "Upload Complete."},
      {UnitEvent::Kind::kError, "Error! Unable to open file x.bin"},
      {UnitEvent::Kind::kReport, "{\"unit\":\"COM3\",\"files\":[]}"},
  };
  for (const UnitEvent& e : events) {
    const std::string line = EncodeUnitEvent(e);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(DecodeUnitEvent(std::string_view(line).substr(0, line.size() - 1)), e) << line;
  }
  // A text with line ends keeps to its one line.
  const std::string split = EncodeUnitEvent({UnitEvent::Kind::kMessage, "Status:\r\nbad \n"});
  EXPECT_EQ(split, "message Status:  bad\n");
  EXPECT_FALSE(DecodeUnitEvent("progress 50%"));
}

}  // namespace
}  // namespace zarnik
