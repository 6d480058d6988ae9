// zarnik-cli running one script on several simulated units at once: each unit's
// result is its own, the summary and the exit status tell them apart, and the
// report says what each unit received.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "json_reader.h"
#include "process.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::JsonValue;
using zarnik::testing::ParseJson;
using zarnik::testing::Process;
using zarnik::testing::RandomBytes;
using zarnik::testing::WaitFor;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;

// "key=value" fields of the unit's "IMAGE n ..." log lines, in order.
std::vector<std::map<std::string, std::string>> LoggedImages(const std::string& log) {
  std::vector<std::map<std::string, std::string>> images;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("IMAGE ", 0) != 0) continue;
    std::istringstream words(line);
    std::map<std::string, std::string> fields;
    for (std::string w; words >> w;) {
      const size_t eq = w.find('=');
      if (eq != std::string::npos)
        fields[w.substr(0, eq)] = w.substr(eq + 1);
      else
        fields["result"] = w;
    }
    images.push_back(fields);
  }
  return images;
}

// The line of the summary table that starts with the unit's name.
std::string SummaryLine(const std::string& err, const std::string& unit) {
  const size_t table = err.rfind("\nunit ");
  if (table == std::string::npos) return "";
  std::istringstream in(err.substr(table + 1));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(unit + " ", 0) == 0) return line;
  return "";
}

struct Units : ::testing::Test {
  struct Unit {
    std::string name;  // the --link name, which zarnik-cli takes as the unit's name
    std::unique_ptr<Process> sim;
    fs::path images, log;
  };

  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("multi");
  }
  void TearDown() override {
    for (auto& u : units) {
      u.sim->Signal(SIGTERM);
      u.sim->Wait(5000);
    }
    fs::remove_all(dir);
  }

  Unit& StartUnit(const std::string& name, std::vector<std::string> extra = {}) {
    Unit u;
    u.name = name;
    u.images = dir / ("images-" + name);
    u.log = dir / (name + ".log");
    fs::create_directories(u.images);
    std::vector<std::string> args = {"--save-images", u.images.string(), "--log",
                                     u.log.string(),  "--link",          (dir / name).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    u.sim = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    EXPECT_FALSE(u.sim->ReadLine(5000).empty()) << u.sim->Stderr();
    units.push_back(std::move(u));
    return units.back();
  }

  fs::path Script(const std::vector<std::string>& files) {
    std::string text = "_TC \"^M\"\n_LP 1\n";
    for (size_t i = 0; i < files.size(); ++i) {
      fs::path f = dir / ("file" + std::to_string(i) + ".bin");
      WriteFile(f, files[i]);
      text += "_LF " + f.string() + "\n_LA " + std::to_string(9000 + i) + "\n_LV v" +
              std::to_string(i) + "\n_LD\n";
    }
    fs::path script = dir / "load.sld";
    WriteFile(script, text);
    return script;
  }

  std::unique_ptr<Process> StartCli(const fs::path& script, std::vector<std::string> extra) {
    std::vector<std::string> args = {"run", script.string(), "--baud", "115200"};
    for (const auto& u : units) args.insert(args.end(), {"--port", (dir / u.name).string()});
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Process>(ZARNIK_CLI_PATH, args, dir.string());
  }

  fs::path dir;
  std::vector<Unit> units;
};

TEST_F(Units, ThreeAtOnceEachWithItsOwnResultTranscriptAndRecord) {
  const std::vector<std::string> files = {RandomBytes(1999, 11), RandomBytes(5001, 12)};
  const fs::path script = Script(files);
  StartUnit("unit-a");
  StartUnit("unit-b", {"--wrong-checksum"});
  StartUnit("unit-c");
  const fs::path report = dir / "report.json";
  auto cli =
      StartCli(script, {"--transcript", (dir / "run.log").string(), "--report", report.string()});
  ASSERT_EQ(cli->Wait(90000), 1) << cli->Stderr();
  const std::string err = cli->Stderr();

  // The good units have every file byte for byte; the bad one stopped after its first.
  for (const char* name : {"unit-a", "unit-c"}) {
    const fs::path images = dir / (std::string("images-") + name);
    for (size_t i = 0; i < files.size(); ++i)
      EXPECT_TRUE(ReadFile(images / ("image-" + std::to_string(i + 1) + ".bin")) == files[i])
          << name << " image " << i + 1;
    EXPECT_NE(SummaryLine(err, name).find("completed"), std::string::npos) << err;
  }
  EXPECT_FALSE(fs::exists(dir / "images-unit-b" / "image-2.bin"));
  const std::string failed = SummaryLine(err, "unit-b");
  EXPECT_NE(failed.find("failed"), std::string::npos) << err;
  EXPECT_NE(failed.find("Unable to receive prompt after upload"), std::string::npos) << err;
  EXPECT_NE(err.find("[unit-b] Error! Unable to receive prompt after upload."), std::string::npos);
  EXPECT_NE(err.find("2 of 3 units completed, 1 FAILED\n"), std::string::npos);

  for (const auto& u : units) {
    const std::string wire = ReadFile(dir / ("run-" + u.name + ".log"));
    EXPECT_NE(wire.find("device " + (dir / u.name).string() + " at 115200 baud"), std::string::npos)
        << u.name << ": " << wire.substr(0, 300);
  }

  // The report, parsed back, against what each unit logged of its loads.
  std::string error;
  auto parsed = ParseJson(ReadFile(report), &error);
  ASSERT_TRUE(parsed) << error << "\n" << ReadFile(report);
  const JsonValue& records = (*parsed)["units"];
  ASSERT_EQ(records.items.size(), units.size());
  for (size_t k = 0; k < units.size(); ++k) {
    const JsonValue& r = records[k];
    const Unit& u = units[k];
    SCOPED_TRACE(u.name);
    EXPECT_EQ(r["unit"].text, u.name);
    EXPECT_EQ(r["port"].text, (dir / u.name).string());
    EXPECT_EQ(r["script"].text, script.string());
    EXPECT_EQ(r["baud"].number, 115200);
    const bool bad = u.name == "unit-b";
    EXPECT_EQ(r["outcome"].text, bad ? "failed" : "completed");
    EXPECT_EQ(r["exit_status"].number, bad ? 1 : 0);
    EXPECT_EQ(r["message"].text,
              bad ? "Unsuccessful.  Upload terminated by user." : "Upload Complete.");
    EXPECT_EQ(r["errors"].items.size(), bad ? 1u : 0u);
    EXPECT_EQ(r["start"].text.size(), 24u) << r["start"].text;  // 2026-12-08T06:45:01.123Z
    EXPECT_EQ(r["start"].text.back(), 'Z');
    EXPECT_LE(r["start"].text, r["end"].text);

    const auto logged = LoggedImages(ReadFile(u.log));
    const JsonValue& loaded = r["files"];
    ASSERT_EQ(loaded.items.size(), logged.size());
    ASSERT_EQ(loaded.items.size(), bad ? 1u : files.size());
    for (size_t i = 0; i < logged.size(); ++i) {
      const JsonValue& f = loaded[i];
      EXPECT_EQ(f["path"].text, (dir / ("file" + std::to_string(i) + ".bin")).string());
      EXPECT_EQ(std::to_string(static_cast<long>(f["size"].number)), logged[i].at("size"));
      EXPECT_EQ(f["checksum"].text, logged[i].at("checksum"));
      EXPECT_EQ(f["address"].text, logged[i].at("address"));
      EXPECT_EQ(f["version"].text, logged[i].at("version"));
      EXPECT_EQ(f["blocks"].number, static_cast<double>(files[i].size() / 2000 + 1));
      EXPECT_GE(f["seconds"].number, 0);
      EXPECT_EQ(logged[i].at("result"), bad ? "BAD" : "OK");
    }
  }
}

TEST_F(Units, CtrlCStopsEveryUnitAfterTheFileBeingSent) {
  // Paced units make the first file long enough to interrupt on every unit.
  const fs::path script = Script({RandomBytes(40000, 21), RandomBytes(100, 22)});
  StartUnit("slow-1", {"--baud", "115200"});
  StartUnit("slow-2", {"--baud", "115200"});
  auto cli = StartCli(script, {"--transcript", (dir / "wire.log").string()});
  auto sending = [&](const std::string& name) {
    return [&, name] {
      const std::string text = ReadFile(dir / ("wire-" + name + ".log"));
      const size_t load = text.find("| LF 9000 40000 ");
      return load != std::string::npos && text.find(" TX ", load) != std::string::npos;
    };
  };
  ASSERT_TRUE(WaitFor(sending("slow-1"), 30000)) << cli->Stderr();
  ASSERT_TRUE(WaitFor(sending("slow-2"), 30000)) << cli->Stderr();
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  const std::string err = cli->Stderr();
  EXPECT_NE(err.find("Stop requested on every unit"), std::string::npos) << err;
  for (const auto& u : units) {
    EXPECT_NE(SummaryLine(err, u.name).find("Unsuccessful.  Upload terminated by user."),
              std::string::npos)
        << err;
    EXPECT_TRUE(fs::exists(u.images / "image-1.bin")) << u.name;
    EXPECT_FALSE(fs::exists(u.images / "image-2.bin")) << u.name;
  }
}

// Ended at once mid-file: each unit's record still names the file that went out and
// the rate, in the report and in the history.
TEST_F(Units, ASecondCtrlCLeavesEveryRecordWhole) {
  const fs::path script = Script({RandomBytes(40000, 23)});
  StartUnit("slow-1", {"--baud", "115200"});
  StartUnit("slow-2", {"--baud", "115200"});
  auto cli = StartCli(script, {"--transcript", (dir / "wire.log").string(), "--report",
                               (dir / "r.json").string(), "--db", (dir / "h.db").string()});
  // Inside the file's data on both units: bytes sent after its load line.
  for (const char* name : {"slow-1", "slow-2"}) {
    ASSERT_TRUE(WaitFor(
        [&] {
          const std::string text = ReadFile(dir / ("wire-" + std::string(name) + ".log"));
          const size_t load = text.find("| LF 9000 40000 ");
          return load != std::string::npos && text.find(" TX ", load) != std::string::npos;
        },
        30000))
        << cli->Stderr();
  }
  cli->Signal(SIGINT);
  ASSERT_TRUE(cli->WaitForStderr("Stop requested on every unit", 10000));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  auto parsed = ParseJson(ReadFile(dir / "r.json"));
  ASSERT_TRUE(parsed) << ReadFile(dir / "r.json");
  for (const JsonValue& r : (*parsed)["units"].items) {
    EXPECT_EQ(r["baud"].number, 115200) << r["unit"].text;
    EXPECT_EQ(r["files"][0]["size"].number, 40000) << r["unit"].text;
    EXPECT_EQ(r["outcome"].text, "failed");
  }
  Process history(ZARNIK_CLI_PATH, {"history", "--db", (dir / "h.db").string(), "--json"});
  EXPECT_EQ(history.Wait(10000), 0) << history.Stderr();
  EXPECT_EQ(std::count(history.Stdout().begin(), history.Stdout().end(), '\n'), 2);
}

// A port that is not there fails its unit without holding up the unit that is, and
// the report still has both records.
TEST_F(Units, AMissingPortFailsOnlyItsUnit) {
  const fs::path script = Script({RandomBytes(3000, 31)});
  StartUnit("here");
  const fs::path report = dir / "report.json";
  std::vector<std::string> extra = {"--port", (dir / "gone").string(), "--report", report.string()};
  auto cli = StartCli(script, extra);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  const std::string err = cli->Stderr();
  EXPECT_NE(SummaryLine(err, "here").find("completed"), std::string::npos) << err;
  EXPECT_NE(SummaryLine(err, "gone").find("not started"), std::string::npos) << err;
  EXPECT_NE(SummaryLine(err, "gone").find("cannot open " + (dir / "gone").string()),
            std::string::npos)
      << err;
  auto parsed = ParseJson(ReadFile(report));
  ASSERT_TRUE(parsed) << ReadFile(report);
  EXPECT_EQ((*parsed)["units"][0]["outcome"].text, "completed");
  EXPECT_EQ((*parsed)["units"][1]["outcome"].text, "not started");
  EXPECT_EQ((*parsed)["units"][1]["files"].items.size(), 0u);
}

// One unit with --report: the record is written on failure too.
TEST_F(Units, ASingleRunWritesItsRecordWhenItFails) {
  const fs::path script = dir / "missing-file.sld";
  WriteFile(script, "_LF " + (dir / "absent.bin").string() + "\n_LA 8000\n_LV V1\n_LD\n");
  StartUnit("solo");
  const fs::path report = dir / "solo.json";
  auto cli = StartCli(script, {"--report", report.string(), "--no-check"});
  EXPECT_EQ(cli->Wait(30000), 1) << cli->Stderr();
  auto parsed = ParseJson(ReadFile(report));
  ASSERT_TRUE(parsed) << ReadFile(report);
  const JsonValue& r = (*parsed)["units"][0];
  EXPECT_EQ(r["unit"].text, "solo");
  EXPECT_EQ(r["outcome"].text, "failed");
  EXPECT_EQ(r["message"].text, "Upload Complete.");
  ASSERT_EQ(r["errors"].items.size(), 1u);
  EXPECT_NE(r["errors"][0].text.find("Error! Unable to open file "), std::string::npos);
  // Only the report is left: no temporary file beside it.
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find("solo.json") != std::string::npos) ++entries;
  EXPECT_EQ(entries, 1u);
}

// The report's folder goes once the run is under way: one unit or several, the run does
// not end on a line that reads as success.
TEST_F(Units, AReportThatCannotBeWrittenIsTheLastWordOnTheRun) {
  const fs::path script = Script({RandomBytes(20000, 51)});
  StartUnit("fast");
  StartUnit("slow", {"--baud", "115200"});  // paced: the run is still going when the folder goes
  for (const std::vector<std::string>& ports :
       {std::vector<std::string>{"slow"}, std::vector<std::string>{"fast", "slow"}}) {
    SCOPED_TRACE(ports.size());
    const fs::path out = dir / "out", report = out / "r.json";
    fs::create_directories(out);
    std::vector<std::string> args = {"run",    script.string(), "--baud",
                                     "115200", "--report",      report.string()};
    for (const std::string& p : ports) args.insert(args.end(), {"--port", (dir / p).string()});
    Process cli(ZARNIK_CLI_PATH, args, dir.string());
    // Past the checks before the start, which would refuse the folder.
    ASSERT_TRUE(cli.WaitForStderr("status: probing", 30000)) << cli.Stderr();
    fs::remove_all(out);
    EXPECT_EQ(cli.Wait(60000), 1) << cli.Stderr();
    const std::string err = cli.Stderr();
    EXPECT_NE(err.find("\nzarnik-cli: cannot write report " + report.string() +
                       ": No such file or directory\n"),
              std::string::npos)
        << err;
    const std::string verdict = "\nzarnik-cli: FAILED: the record could not be written\n";
    EXPECT_EQ(err.rfind(verdict), err.size() - verdict.size()) << err;
  }
}

// A unit whose history entry cannot be written (another writer holds the database
// past the busy wait) is failed in the table with the reason, not with its run's
// "Upload Complete.".
TEST_F(Units, AHistoryEntryThatCannotBeWrittenFailsItsUnitWithTheReason) {
  const fs::path script = Script({RandomBytes(100, 52)});
  StartUnit("first");
  StartUnit("second");
  const fs::path db = dir / "h.db";
  auto cli = StartCli(script, {"--db", db.string()});
  // Made by the units' checks before anything is sent; held from then on.
  ASSERT_TRUE(cli->WaitForStderr("status: probing", 30000)) << cli->Stderr();
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
  sqlite3_busy_timeout(holder, 10000);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  const std::string err = cli->Stderr();
  for (const char* name : {"first", "second"}) {
    const std::string line = SummaryLine(err, name);
    EXPECT_NE(line.find(" failed "), std::string::npos) << err;
    EXPECT_NE(line.find("(cannot write history " + db.string()), std::string::npos) << err;
  }
}

TEST_F(Units, UsageErrorsExitWithTwoBeforeAnythingIsSent) {
  const fs::path script = Script({RandomBytes(10, 41)});
  Unit& u = StartUnit("idle");
  const std::string port = (dir / u.name).string();
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"run", script.string(), "--port", port, "--port", port}, "named twice"},
      {{"run", script.string(), "--port", port, "--port", "/dev/null", "--report",
        (dir / "no-such-dir" / "r.json").string()},
       "cannot write report"},
      {{"run", (dir / "missing.sld").string(), "--port", port, "--com", "9"}, "missing.sld"},
      // A folder for a script is refused as one unit's run refuses it.
      {{"run", (dir / "dir.sld").string(), "--port", "/dev/null", "--port", port, "--no-probe"},
       "cannot open script " + (dir / "dir.sld").string()},
  };
  fs::create_directories(dir / "dir.sld");
  for (const auto& c : cases) {
    Process cli(ZARNIK_CLI_PATH, c.args, dir.string());
    EXPECT_EQ(cli.Wait(10000), 2) << c.says;
    EXPECT_NE(cli.Stderr().find(c.says), std::string::npos) << cli.Stderr();
  }
  EXPECT_EQ(ReadFile(u.log).find("LINE"), std::string::npos) << ReadFile(u.log);
}

}  // namespace
}  // namespace zarnik::e2e
