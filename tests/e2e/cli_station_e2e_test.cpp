// zarnik-cli station against zarnik-unit-sim: units connected and pulled off one
// fixed port in turn (the simulated unit's SIGUSR1 and SIGUSR2), recorded in the history.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "process.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;
using zarnik::testing::RandomBytes;
using zarnik::testing::ReadFile;
using zarnik::testing::WaitFor;
using zarnik::testing::WriteFile;

struct Station : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("station");
  }
  void TearDown() override { fs::remove_all(dir); }

  void Start(size_t fileSize, std::vector<std::string> simArgs) {
    WriteFile(dir / "f.bin", RandomBytes(fileSize, 3));
    WriteFile(dir / "load.sld", "_TC \"^M\"\n_QC \"SN\"\n_LP 1\n_LF " + (dir / "f.bin").string() +
                                    "\n_LA 8000\n_LV V1\n_LD\n");
    std::vector<std::string> args = {"--link", (dir / "bench").string(), "--log",
                                     (dir / "sim.log").string(), "--save-images",
                                     (dir / "images").string()};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    sim = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    ASSERT_FALSE(sim->ReadLine(5000).empty()) << sim->Stderr();
    station = std::make_unique<Process>(
        ZARNIK_CLI_PATH,
        std::vector<std::string>{"station", (dir / "load.sld").string(), "--port",
                                 (dir / "bench").string(), "--db", (dir / "h.db").string(),
                                 "--baud", "115200", "--probe-every", "1"},
        dir.string());
  }
  // Waits until the station's output holds `text` `times` times.
  bool Says(const std::string& text, size_t times = 1) {
    return WaitFor(
        [&] {
          const std::string out = station->Stdout();
          size_t n = 0;
          for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
          return n >= times;
        },
        60000);
  }
  size_t Probes() {  // carriage returns the unit has heard on their own
    const std::string log = ReadFile(dir / "sim.log");
    size_t n = 0;
    for (size_t at = log.find("LINE \n"); at != std::string::npos; at = log.find("LINE \n", at + 1)) ++n;
    return n;
  }
  std::string Db(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    std::string value = "(none)";
    if (sqlite3_open_v2((dir / "h.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
      value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  }

  fs::path dir;
  std::unique_ptr<Process> sim, station;
};

TEST_F(Station, TwoUnitsInTurnOnOnePortEachLoadedOnce) {
  Start(3000, {"--serial-number", "ZK-000001"});
  ASSERT_TRUE(Says("PASS  SERIAL NO ZK-000001  disconnect the unit")) << station->Stdout();
  // Left connected, the unit is probed again and again but never loaded twice.
  const size_t probes = Probes();
  ASSERT_TRUE(WaitFor([&] { return Probes() >= probes + 3; }, 30000));
  sim->Signal(SIGUSR1);
  ASSERT_TRUE(Says("waiting for a unit", 2)) << station->Stdout();
  sim->Signal(SIGUSR2);
  ASSERT_TRUE(Says("PASS  SERIAL NO ZK-000002")) << station->Stdout();
  EXPECT_NE(station->Stdout().find("2 passed, 0 failed since "), std::string::npos);
  station->Signal(SIGINT);
  EXPECT_EQ(station->Wait(30000), 0) << station->Stdout() << station->Stderr();
  EXPECT_TRUE(fs::exists(dir / "images" / "image-2.bin"));
  EXPECT_FALSE(fs::exists(dir / "images" / "image-3.bin"));
  EXPECT_EQ(Db("SELECT group_concat(reply, ',') FROM (SELECT reply FROM replies ORDER BY run_id)"),
            "SERIAL NO ZK-000001,SERIAL NO ZK-000002");
  EXPECT_EQ(Db("SELECT group_concat(outcome || ' ' || unit, ',') FROM runs"),
            "completed bench,completed bench");
}

TEST_F(Station, AUnitPulledMidFileIsRecordedAsFailed) {
  Start(60000, {"--baud", "115200"});
  ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "sim.log").find("LINE LF 8000 60000") != std::string::npos; }, 30000));
  sim->Signal(SIGUSR1);
  ASSERT_TRUE(Says("FAIL  Error! ")) << station->Stdout();
  station->Signal(SIGINT);
  EXPECT_EQ(station->Wait(30000), 1) << station->Stdout();
  EXPECT_NE(station->Stdout().find("station ended: 0 passed, 1 failed"), std::string::npos);
  EXPECT_EQ(Db("SELECT outcome || ' ' || (first_error LIKE 'Error! %') FROM runs"), "failed 1");
}

TEST_F(Station, CtrlCWithARunGoingStopsItAsStopDoesAndRecordsIt) {
  Start(60000, {"--baud", "115200"});
  ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "sim.log").find("LINE LF 8000 60000") != std::string::npos; }, 30000));
  station->Signal(SIGINT);
  EXPECT_EQ(station->Wait(60000), 1) << station->Stdout() << station->Stderr();
  EXPECT_NE(station->Stdout().find("station ended: 0 passed, 1 failed"), std::string::npos)
      << station->Stdout();
  // The file under way went out whole before the run stopped; nothing after it ran.
  EXPECT_EQ(fs::file_size(dir / "images" / "image-1.bin"), 60000u);
  EXPECT_EQ(Db("SELECT count(*) || ' ' || outcome || ' ' || message FROM runs"),
            "1 failed Unsuccessful.  Upload terminated by user.");
}

// Hot-plug: links to simulated units' ptys made and removed in a watched folder.
TEST_F(Station, WatchedPathsAreUnitsFromTheirAppearanceToTheirRemoval) {
  WriteFile(dir / "f.bin", RandomBytes(2000, 5));
  WriteFile(dir / "load.sld", "_TC \"^M\"\n_QC \"SN\"\n_LP 1\n_LF " + (dir / "f.bin").string() +
                                  "\n_LA 8000\n_LV V1\n_LD\n");
  fs::create_directories(dir / "by-id");
  auto unit = [&](const std::string& name, const std::string& serial) {
    auto p = std::make_unique<Process>(
        ZARNIK_UNIT_SIM_PATH, std::vector<std::string>{"--link", (dir / "by-id" / name).string(),
                                                       "--serial-number", serial});
    EXPECT_FALSE(p->ReadLine(5000).empty()) << p->Stderr();
    return p;
  };
  auto before = unit("usb-old", "ZK-000900");  // there at the start: left alone
  auto other = unit("other-a", "ZK-000800");  // not matching: left alone
  station = std::make_unique<Process>(
      ZARNIK_CLI_PATH,
      std::vector<std::string>{"station", (dir / "load.sld").string(), "--watch",
                               (dir / "by-id" / "usb-*").string(), "--db", (dir / "h.db").string(),
                               "--probe-every", "1", "--report-dir", dir.string()},
      dir.string());
  ASSERT_TRUE(Says("watching ")) << station->Stderr();
  auto a = unit("usb-a", "ZK-000001");
  auto b = unit("usb-b", "ZK-000100");
  ASSERT_TRUE(Says("usb-a  PASS  SERIAL NO ZK-000001")) << station->Stdout();
  ASSERT_TRUE(Says("usb-b  PASS  SERIAL NO ZK-000100")) << station->Stdout();
  // Pulled out and plugged in again (a fresh unit behind the same name): loaded again.
  const fs::path target = fs::read_symlink(dir / "by-id" / "usb-a");
  fs::remove(dir / "by-id" / "usb-a");
  ASSERT_TRUE(Says("usb-a  gone")) << station->Stdout();
  a->Signal(SIGUSR2);
  fs::create_symlink(target, dir / "by-id" / "usb-a");
  ASSERT_TRUE(Says("usb-a  PASS  SERIAL NO ZK-000002")) << station->Stdout();
  station->Signal(SIGINT);
  EXPECT_EQ(station->Wait(30000), 0) << station->Stdout() << station->Stderr();
  EXPECT_EQ(Db("SELECT group_concat(unit, ',') FROM (SELECT unit FROM runs ORDER BY unit, id)"),
            "usb-a,usb-a,usb-b");
  // Each unit behind the same name keeps its own record.
  EXPECT_TRUE(fs::exists(dir / "usb-a-1.json"));
  EXPECT_TRUE(fs::exists(dir / "usb-a-2.json"));
}

}  // namespace
}  // namespace zarnik::e2e
