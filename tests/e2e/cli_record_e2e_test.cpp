// The record of a run on every path it can end by: zarnik-cli against zarnik-unit-sim,
// the report and the history read back from the files the run leaves.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

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
using zarnik::testing::ReadFile;
using zarnik::testing::WaitFor;
using zarnik::testing::WriteFile;

struct Recorded : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("rec");
    // A query first, so the record has a reply before the long file starts.
    WriteFile(dir / "big.bin", RandomBytes(60000, 1));
    WriteFile(dir / "load.sld", "_TC \"^M\"\n_QC \"SN\"\n_LF " + (dir / "big.bin").string() +
                                    "\n_LA 8000\n_LV V7\n_LD\n");
  }
  void TearDown() override { fs::remove_all(dir); }

  void StartUnit(std::vector<std::string> args) {
    unit = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    device = unit->ReadLine(5000);
    ASSERT_FALSE(device.empty()) << unit->Stderr();
  }
  std::unique_ptr<Process> StartCli(std::vector<std::string> args) {
    std::vector<std::string> all = {"run", (dir / "load.sld").string(), "--baud", "115200",
                                    "--report", (dir / "r.json").string(),
                                    "--db", (dir / "h.db").string(),
                                    "--transcript", (dir / "wire.log").string()};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<Process>(ZARNIK_CLI_PATH, all, dir.string());
  }
  bool DataGoingOut() {
    const std::string wire = ReadFile(dir / "wire.log");
    const size_t load = wire.find("| LF 8000 60000 ");
    return load != std::string::npos && wire.find(" TX ", load) != std::string::npos;
  }
  // The report's one unit.
  JsonValue Report() {
    auto parsed = ParseJson(ReadFile(dir / "r.json"));
    EXPECT_TRUE(parsed) << ReadFile(dir / "r.json");
    return parsed ? (*parsed)["units"][0] : JsonValue{};
  }
  // One value from the history, read with the sqlite3 library itself.
  std::string Db(const std::string& sql) {
    sqlite3* db = nullptr;
    std::string value = "(none)";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2((dir / "h.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
      value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  }

  fs::path dir;
  std::unique_ptr<Process> unit;
  std::string device;
};

TEST_F(Recorded, ACompletedRunIsInTheHistoryAndFoundByItsSerialNumber) {
  StartUnit({"--serial-number", "QA-000042"});
  auto cli = StartCli({"--port", device});
  ASSERT_EQ(cli->Wait(60000), 0) << cli->Stderr();
  const JsonValue u = Report();
  EXPECT_EQ(u["replies"][0]["query"].text, "SN");
  EXPECT_EQ(u["replies"][0]["reply"].text, "SERIAL NO QA-000042");
  EXPECT_EQ(u["files"][0]["sha256"].text.size(), 64u);
  EXPECT_EQ(Db("SELECT outcome || ' ' || baud || ' ' || port FROM runs"),
            "completed 115200 " + device);
  EXPECT_EQ(Db("SELECT count(*) FROM files WHERE version = 'V7' AND size = 60000"), "1");

  Process found(ZARNIK_CLI_PATH, {"history", "--db", (dir / "h.db").string(), "--unit", "QA-000042", "--json"});
  ASSERT_EQ(found.Wait(10000), 0) << found.Stderr();
  auto line = ParseJson(found.Stdout());
  ASSERT_TRUE(line) << found.Stdout();
  EXPECT_EQ((*line)["outcome"].text, "completed");
  EXPECT_TRUE((*line).Has("station"));
  Process none(ZARNIK_CLI_PATH, {"history", "--db", (dir / "h.db").string(), "--unit", "QA-000043", "--json"});
  EXPECT_EQ(none.Wait(10000), 0);
  EXPECT_EQ(none.Stdout(), "");
}

// However the run is ended while a file goes out, the record names that file and the
// rate in force, and the transcript holds the load line.
TEST_F(Recorded, EverySignalMidFileLeavesAWholeRecord) {
  const std::vector<std::pair<const char*, std::vector<int>>> cases = {
      {"Ctrl-C twice", {SIGINT, SIGINT}}, {"SIGTERM", {SIGTERM}}, {"SIGHUP", {SIGHUP}}};
  for (const auto& [name, signals] : cases) {
    SCOPED_TRACE(name);
    fs::remove(dir / "r.json");
    fs::remove(dir / "wire.log");
    StartUnit({"--baud", "115200"});
    auto cli = StartCli({"--port", device});
    ASSERT_TRUE(WaitFor([&] { return DataGoingOut(); }, 30000)) << cli->Stderr();
    for (int sig : signals) {
      cli->Signal(sig);
      if (sig == SIGINT && signals.size() > 1) {
        ASSERT_TRUE(cli->WaitForStderr("Stop", 10000));
      }
    }
    EXPECT_NE(cli->Wait(30000), 0);
    // Ended at once or by Stop, the verdict is the last line.
    const std::string err = cli->Stderr();
    const size_t last = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    EXPECT_EQ(err.compare(last == std::string::npos ? 0 : last + 1, 20, "zarnik-cli: FAILED: "), 0)
        << err;
    const JsonValue u = Report();
    EXPECT_EQ(u["outcome"].text, "failed") << cli->Stderr();
    EXPECT_EQ(u["baud"].number, 115200);
    EXPECT_EQ(u["files"][0]["path"].text, (dir / "big.bin").string());
    EXPECT_EQ(u["replies"][0]["reply"].text, "SERIAL NO ZK-004711");
    EXPECT_NE(ReadFile(dir / "wire.log").find("| LF 8000 60000 "), std::string::npos);
    unit->Signal(SIGTERM);
    unit->Wait(5000);
  }
  EXPECT_EQ(Db("SELECT count(*) FROM runs WHERE outcome = 'failed'"), "3");
}

// Ended at once by a signal, with a record that cannot be written: the write's failure
// is said, and the verdict, still last, says both why the run ended and that.
TEST_F(Recorded, ASignalEndingARunWhoseRecordCannotBeWrittenSaysSoLast) {
  StartUnit({"--baud", "115200"});
  const fs::path out = dir / "out", report = out / "r.json";
  fs::create_directories(out);
  Process cli(ZARNIK_CLI_PATH,
              {"run", (dir / "load.sld").string(), "--port", device, "--baud", "115200",
               "--report", report.string(), "--transcript", (dir / "wire.log").string()},
              dir.string());
  ASSERT_TRUE(WaitFor([&] { return DataGoingOut(); }, 30000)) << cli.Stderr();
  fs::remove_all(out);
  cli.Signal(SIGINT);
  ASSERT_TRUE(cli.WaitForStderr("Stop", 10000));
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(30000), 128 + SIGINT) << cli.Stderr();
  const std::string err = cli.Stderr();
  EXPECT_NE(err.find("\nzarnik-cli: cannot write report " + report.string() + ": "),
            std::string::npos)
      << err;
  const std::string verdict =
      "\nzarnik-cli: FAILED: ended by Ctrl-C; the record could not be written\n";
  EXPECT_EQ(err.rfind(verdict), err.size() - verdict.size()) << err;
}

// Nothing was sent: the record still says where, at what rate and why.
TEST_F(Recorded, ARunThatNeverStartedIsRecordedWithItsReason) {
  StartUnit({"--absent"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {(dir / "no-such-port").string(), "cannot open"},
      {device, "no unit answered"}};
  for (const auto& [port, why] : cases) {
    fs::remove(dir / "r.json");
    auto cli = StartCli({"--port", port});
    EXPECT_EQ(cli->Wait(30000), 2) << cli->Stderr();
    const JsonValue u = Report();
    EXPECT_EQ(u["outcome"].text, "not started");
    EXPECT_EQ(u["port"].text, port);
    EXPECT_EQ(u["baud"].number, 115200);
    EXPECT_NE(u["message"].text.find(why), std::string::npos) << u["message"].text;
  }
  // Ctrl-C during the probe of the silent unit.
  fs::remove(dir / "r.json");
  fs::remove(dir / "wire.log");
  auto cli = StartCli({"--port", device});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir / "wire.log") && ReadFile(dir / "wire.log").find(" TX ") != std::string::npos; }, 10000));
  cli->Signal(SIGINT);
  cli->Signal(SIGINT);
  EXPECT_NE(cli->Wait(30000), 0);
  EXPECT_EQ(Report()["port"].text, device);
  EXPECT_EQ(Db("SELECT count(*) FROM runs"), "3");
}

TEST_F(Recorded, AHistoryThatCannotBeWrittenStopsTheRunFirst) {
  StartUnit({});
  fs::create_directories(dir / "h.db");  // a folder where the database should be
  auto cli = StartCli({"--port", device});
  EXPECT_EQ(cli->Wait(30000), 2) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("h.db"), std::string::npos) << cli->Stderr();
  EXPECT_FALSE(fs::exists(dir / "wire.log") && ReadFile(dir / "wire.log").find(" TX ") != std::string::npos);
}

}  // namespace
}  // namespace zarnik::e2e
