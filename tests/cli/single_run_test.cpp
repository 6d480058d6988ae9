// The single run in this process (no child zarnik-cli), the checks shared with the
// run on several units, and the words the two kinds of process exchange.
#include "cli/single_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/preflight.h"
#include "cli/unit_protocol.h"
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

TEST_F(SingleRun, APortThatIsNotThereEndsBeforeTheScriptWithItsReason) {
  std::ostringstream out;
  UnitRecorder record("unit", script.string(), SteadyMs);
  RunWatchers watchers{record};
  const std::string port = (dir / "no-such-tty").string();
  const RunEnd end = RunSingle(Options({script.string(), "--port", port}), watchers, {out});
  EXPECT_EQ(end.status, kExitCannotStart);
  EXPECT_EQ(end.failText, "cannot open " + port + ": No such file or directory");
  EXPECT_NE(out.str().find("zarnik-cli: " + end.failText), std::string::npos) << out.str();
  EXPECT_TRUE(record.Record().files.empty());
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
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{(dir / "dir.sld").string()}, "cannot open script " + (dir / "dir.sld").string()},
      {{(dir / "missing.sld").string()}, "missing.sld"},
      {{script.string(), "--settings", dir.string()}, "cannot read settings file"},
      {{script.string(), "--report", none + "/r.json"}, "cannot write report " + none},
      {{script.string(), "--transcript", none + "/t.log"}, "cannot write transcript " + none},
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
