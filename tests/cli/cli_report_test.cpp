// The report's JSON, the units' names and files, the arguments of a unit's run,
// and the bar with its rate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/cli_progress.h"
#include "cli/multi_run.h"
#include "cli/run_report.h"
#include "platform/virtual_host.h"
#include "support/json_reader.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ParseJson;

TEST(JsonWriter, StringsAreEscapedAndStayValidUtf8) {
  struct Case {
    std::string in;
    std::string out;  // without the quotes
  } cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\images\\app.bin", "C:\\\\images\\\\app.bin"},
      {"Error opening x.\r", "Error opening x.\\r"},
      {"a\nb\tc\bd\fe", "a\\nb\\tc\\bd\\fe"},
      {std::string("nul\0here", 8), "nul\\u0000here"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\x7f"},  // DEL is allowed as it is
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin1 \xFC!", "latin1 \xEF\xBF\xBD!"},                  // a stray byte becomes U+FFFD
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},          // a sequence cut short by the end
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
  };
  for (const auto& c : cases) {
    const std::string quoted = JsonWriter::Quote(c.in);
    EXPECT_EQ(quoted, "\"" + c.out + "\"") << c.in;
    // Whatever went in, a strict reader takes what came out.
    std::string error;
    auto back = ParseJson(quoted, &error);
    ASSERT_TRUE(back) << error << " in " << quoted;
    if (c.out.find("\xEF\xBF\xBD") == std::string::npos) {
      EXPECT_EQ(back->text, c.in);
    }
  }
}

TEST(JsonWriter, CommasAndNesting) {
  JsonWriter w;
  w.BeginObject();
  w.Key("a").Number(int64_t{-3});
  w.Key("b").BeginArray().EndArray();
  w.Key("c")
      .BeginArray()
      .Number(1.5, 3)
      .Bool(true)
      .BeginObject()
      .EndObject()
      .Raw("null")
      .EndArray();
  w.Key("d").Number(std::nan(""), 3);
  w.Key("e\"").String("x");
  w.EndObject();
  EXPECT_EQ(w.Text(), "{\"a\":-3,\"b\":[],\"c\":[1.500,true,{},null],\"d\":null,\"e\\\"\":\"x\"}");
  EXPECT_TRUE(ParseJson(w.Text()));
}

TEST(RunReport, RecordHasEveryFieldAndTimesInUtc) {
  UnitRecord r;
  r.unit = "ttyUSB0";
  r.script = "load \"x\".sld";
  r.port = "/dev/ttyUSB0";
  r.baud = 115200;
  r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796711101123));
  r.end = r.start + std::chrono::milliseconds(61877);
  r.exitStatus = 1;
  r.message = "Unsuccessful.  Upload terminated by user.";
  r.errors = {"Error! one", "Error! two"};
  r.files = {{"a.bin", 3, "126", "8000", "V1", 1, 0.25}, {"b.bin", 0, "0", "9000", "V1", 1, 0, 2}};
  auto parsed = ParseJson(ReportJson({RecordJson(r), RecordJson(UnitRecord{})}));
  ASSERT_TRUE(parsed);
  const auto& u = (*parsed)["units"][0];
  EXPECT_EQ(u["unit"].text, "ttyUSB0");
  EXPECT_EQ(u["script"].text, "load \"x\".sld");
  EXPECT_EQ(u["start"].text, "2026-12-08T06:25:01.123Z");
  EXPECT_EQ(u["end"].text, "2026-12-08T06:26:03.000Z");
  EXPECT_EQ(u["outcome"].text, "failed");
  EXPECT_EQ(u["errors"].items.size(), 2u);
  const auto& f = u["files"][0];
  EXPECT_EQ(f["checksum"].text, "126");
  EXPECT_EQ(f["blocks"].number, 1);
  EXPECT_EQ(f["seconds"].number, 0.25);
  EXPECT_FALSE(f.Has("board"));  // on a port
  EXPECT_EQ(u["files"][1]["board"].number, 2);
  EXPECT_EQ((*parsed)["units"][1]["outcome"].text, "not started");
  EXPECT_EQ(std::string(OutcomeOf(0)), "completed");
  EXPECT_EQ(std::string(OutcomeOf(130)), "failed");
}

TEST(RunReport, WrittenWholeOrNotAtAll) {
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("zarnik-report-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "r.json").string();
  std::string error;
  ASSERT_TRUE(CanWriteFile(path, "report", error)) << error;
  EXPECT_FALSE(fs::exists(path));  // the check leaves nothing behind
  std::ofstream(path) << "old";
  ASSERT_TRUE(WriteFileAtomically(path, "{\"units\":[]}\n", error)) << error;
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"units\":[]}\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  EXPECT_FALSE(CanWriteFile((dir / "none" / "r.json").string(), "report", error));
  EXPECT_NE(error.find("none/r.json"), std::string::npos) << error;
  EXPECT_FALSE(CanWriteFile(dir.string(), "report", error));
  EXPECT_FALSE(WriteFileAtomically((dir / "none" / "r.json").string(), "x", error));
  fs::remove_all(dir);
}

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

  UnitRecorder notStarted("COM4", "s.sld", clock);
  notStarted.Finish(2, "no unit answered on /dev/ttyS3");
  EXPECT_EQ(notStarted.Record().message, "no unit answered on /dev/ttyS3");
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
