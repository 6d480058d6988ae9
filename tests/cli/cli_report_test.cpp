// The recorder of a run, the units' names and files, the arguments of a unit's
// run, and the bar with its rate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/cli_progress.h"
#include "cli/multi_run.h"
#include "cli/history_command.h"
#include "cli/run_report.h"
#include "record/history_db.h"
#include "script/script_engine.h"
#include "platform/virtual_host.h"
#include "support/json_reader.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ParseJson;

// A recorder and a bar on one progress model, on a clock the test moves.
struct Watched : ::testing::Test {
  VirtualHost host;
  ProgressModel model{host};
  uint64_t now = 1000;
  MsClock clock = [this] { return now; };
};

TEST_F(Watched, RecorderKeepsEachFileAndTheRunsMessages) {
  UnitRecorder rec("COM3", "s.sld", clock);
  rec.Watch(host, nullptr);
  model.AddObserver(&rec);
  host.ShowMessage("Error! Unable to open file x. Cannot upload file.");
  model.ShowProgressForm(2, {"big.bin", 0xA5, "8000", 4001});
  for (int i = 0; i < 3; ++i) {
    now += 100;
    model.StepIt();
  }
  model.HideProgressForm();
  model.ShowProgressForm(0, {"empty.bin", 0, "9000", 0});
  model.StepIt();
  model.HideProgressForm();
  rec.QueryReplied("SN", "SERIAL NO ZK-004711");
  host.ShowMessage("Upload Complete.");
  rec.Unwatch();
  host.ShowMessage("after the run");  // not the run's any more
  rec.Finish(1, "");
  const UnitRecord& r = rec.Record();
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[0].checksum, "a5");  // as the load line writes it
  EXPECT_EQ(r.files[0].size, 4001);
  EXPECT_EQ(r.files[0].blocks, 3);
  EXPECT_DOUBLE_EQ(r.files[0].seconds, 0.3);
  EXPECT_EQ(r.files[1].blocks, 1);
  EXPECT_EQ(r.message, "Upload Complete.");
  EXPECT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.replies, (std::vector<ReplyRecord>{{"SN", "SERIAL NO ZK-004711"}}));

  UnitRecorder notStarted("COM4", "s.sld", clock);
  notStarted.Finish(2, "no unit answered on /dev/ttyS3");
  EXPECT_EQ(notStarted.Record().message, "no unit answered on /dev/ttyS3");
}

TEST(RecordSink, ChecksFirstAndWritesOnce) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("zarnik-sink-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string error;
  fs::create_directories(dir / "folder.db");
  RecordSink unusable("", (dir / "folder.db").string());
  EXPECT_FALSE(unusable.Check(error));  // refused before anything is sent

  RecordSink sink((dir / "r.json").string(), (dir / "h.db").string());
  ASSERT_TRUE(sink.Check(error)) << error;
  UnitRecord first;
  first.unit = "first";
  UnitRecord second;
  second.unit = "second";
  EXPECT_TRUE(sink.Write(first, error)) << error;
  EXPECT_TRUE(sink.Write(second, error));  // the run ended once: the first record stands
  std::ifstream in(dir / "r.json");
  const std::string report(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(report.find("\"first\""), std::string::npos);
  EXPECT_EQ(report.find("\"second\""), std::string::npos);
  HistoryDb db;
  std::vector<UnitRecord> runs;
  ASSERT_TRUE(db.Open((dir / "h.db").string(), error) && db.Runs({}, runs, error)) << error;
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].unit, "first");
  fs::remove_all(dir);
}

TEST(HistoryCommand, ATableNewestFirstAndItsUsage) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("zarnik-hist-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string db = (dir / "h.db").string();
  auto run = [&](std::vector<std::string> args, std::string& out) {
    std::ostringstream o, e;
    const int status = RunHistoryCommand(args, o, e);
    out = o.str() + e.str();
    return status;
  };
  std::string out;
  EXPECT_EQ(run({"--db", db}, out), 0);
  EXPECT_EQ(out, "no runs recorded in " + db + "\n");
  {
    HistoryDb history;
    std::string error;
    ASSERT_TRUE(history.Open(db, error)) << error;
    for (const char* unit : {"ttyUSB0", "ttyUSB1"}) {
      UnitRecord r;
      r.unit = unit;
      r.station = "bench-3";
      r.exitStatus = unit[6] == '1' ? 1 : 0;
      r.errors = {"Error! Unit not in Loader Mode! Exiting script"};
      r.files = {{"app.bin", 10, "1a2b", "8000", "V2.13", "", 5, 1.0}};
      r.replies = {{"SN", "SERIAL NO ZK-004711"}};
      ASSERT_TRUE(history.Add(r, error)) << error;
    }
  }
  EXPECT_EQ(run({"--db=" + db, "--failed"}, out), 0);
  EXPECT_NE(out.find("bench-3  ttyUSB1  failed  Error! Unit not in Loader Mode! Exiting script\n"
                     "    file app.bin  version V2.13  checksum 1a2b\n"
                     "    SN: SERIAL NO ZK-004711\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("ttyUSB0"), std::string::npos);
  EXPECT_EQ(run({"--db", db}, out), 0);
  EXPECT_LT(out.find("ttyUSB1"), out.find("ttyUSB0"));
  for (std::vector<std::string> bad :
       {std::vector<std::string>{"--since", "yesterday"}, {"--unit"}, {"--json=1"}, {"--what"}})
    EXPECT_EQ(run(bad, out), 2) << bad[0];
  fs::remove_all(dir);
}

TEST_F(Watched, BarShowsBytesRateAndTimeLeft) {
  TransferMeter meter;
  model.ShowProgressForm(5, {"f.bin", 1, "0", 10000});
  meter.Start(now, 10000);
  EXPECT_EQ(ProgressBarText(model, meter, 10),
            "[..........] 0/5 blocks  0/10000 bytes  -- B/s  --:-- left");
  model.StepIt();
  model.StepIt();
  meter.Step(now + 100);
  meter.Step(now + 400);
  EXPECT_EQ(ProgressBarText(model, meter, 10),
            "[####......] 2/5 blocks  4000/10000 bytes  10.0 kB/s  0:01 left");
  EXPECT_EQ(SentText(meter), "sent 4000 bytes in 0.4 s (10.0 kB/s)");

  // Into a pipe: a line when the file starts and one when its data has gone out.
  std::ostringstream out;
  CliProgress bar(out, false, clock);
  model.AddObserver(&bar);
  model.HideProgressForm();
  model.ShowProgressForm(1, {"g.bin", 0x126, "8000", 2500});
  now += 500;
  model.StepIt();
  model.StepIt();
  model.HideProgressForm();
  EXPECT_EQ(out.str(),
            "sent 0 bytes in 0.0 s\n"
            "file: g.bin  size 2500  checksum 126  address 8000\n"
            "sent 2500 bytes in 0.5 s (5.0 kB/s)\n");
}

TEST(Units, NamesComeFromThePorts) {
  struct Case {
    UnitPort port;
    const char* name;
  } cases[] = {
      {{3, ""}, "COM3"},
      {{std::nullopt, "/dev/ttyUSB0"}, "ttyUSB0"},
      {{std::nullopt, "/dev/pts/5"}, "pts5"},
      {{std::nullopt, "/tmp/bench/unit-a"}, "unit-a"},
      {{std::nullopt, "/dev/serial/by-id/usb-FTDI_FT232R:if00"}, "usb-FTDI_FT232R_if00"},
      {{std::nullopt, "relative/tty 1/"}, "tty_1"},
      {{std::nullopt, "/"}, "unit"},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitName(c.port), c.name) << c.port.path;

  EXPECT_EQ(UnitNames({{std::nullopt, "/a/unit"},
                       {std::nullopt, "/b/unit"},
                       {2, ""},
                       {std::nullopt, "/c/unit"}}),
            (std::vector<std::string>{"unit", "unit-2", "COM2", "unit-3"}));
}

TEST(Units, EachUnitHasItsOwnFile) {
  struct Case {
    const char* path;
    const char* unit;
    const char* out;
  } cases[] = {
      {"run.log", "ttyUSB0", "run-ttyUSB0.log"},
      {"logs/run.log", "COM3", "logs/run-COM3.log"},
      {"/var/log/zarnik/run", "pts5", "/var/log/zarnik/run-pts5"},
      {"a.b/run.tar.log", "COM1", "a.b/run.tar-COM1.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(PathForUnit(c.path, c.unit), c.out) << c.path;
}

TEST(Units, AUnitRunsAloneWithTheSharedOptions) {
  std::string error;
  auto o = ParseCliOptions(
      {"run", "s.sld", "--port", "/dev/ttyUSB0", "--com", "3", "--baud", "57600", "--transcript",
       "logs/run.log", "--report", "r.json", "--settings", "bench.ini", "--quiet"},
      error);
  ASSERT_TRUE(o) << error;
  ASSERT_EQ(o->units.size(), 2u);
  EXPECT_TRUE(o->portPath.empty());  // several units: none is the run's one port
  EXPECT_FALSE(o->comNumber);
  EXPECT_EQ(UnitArgs(*o, 1, "COM3", 7),
            (std::vector<std::string>{"run", "s.sld", "--com", "3", "--baud", "57600", "--settings",
                                      "bench.ini", "--quiet", "--transcript", "logs/run-COM3.log",
                                      "--unit-name", "COM3", "--unit-events", "7"}));
  // The unit's own zarnik-cli takes those arguments as a single run.
  auto unit = ParseCliOptions(UnitArgs(*o, 0, "ttyUSB0", 5), error);
  ASSERT_TRUE(unit) << error;
  EXPECT_EQ(unit->portPath, "/dev/ttyUSB0");
  EXPECT_EQ(unit->unitEventsFd, 5);
  EXPECT_TRUE(unit->reportPath.empty());  // the record goes over the events instead
}

}  // namespace
}  // namespace zarnik
