// The history database, checked from the outside: what the file holds is read with
// the sqlite3 library directly, as any plant tool would read it.
#include "record/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "record/sha256.h"

namespace zarnik {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class History : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zarnik-history-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = (dir_ / "sub" / "history.db").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Rows of a query as text, columns joined by '|', NULL as "NULL".
  std::vector<std::string> Rows(const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    std::vector<std::string> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const auto* text = sqlite3_column_text(stmt, c);
        row += (c ? "|" : "") + (text ? std::string(reinterpret_cast<const char*>(text)) : "NULL");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  UnitRecord Run(const std::string& unit, int status, std::vector<ReplyRecord> replies) {
    UnitRecord r;
    r.unit = unit;
    r.script = (dir_ / "no-such.sld").string();
    r.port = "/dev/pts/77";
    r.baud = 115200;
    r.start = std::chrono::system_clock::time_point(milliseconds(1'765'000'000'123));
    r.end = r.start + milliseconds(2500);
    r.exitStatus = status;
    r.message = status == 0 ? "Upload Complete." : "Unsuccessful.  Upload terminated by user.";
    if (status != 0) r.errors = {"Error! Unit not in Loader Mode! Exiting script", "second"};
    r.files = {{"a.bin", 3, "126", "8000", "V1", "abc123", 1, 0.25}};
    r.replies = std::move(replies);
    return r;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(History, SchemaAndRowsAreWhatAnySqliteToolReads) {
  HistoryDb db;
  std::string error;
  ASSERT_TRUE(db.Open(path_, error)) << error;
  // A reply that is SQL stays a reply.
  const std::string evil = "SERIAL NO '); DROP TABLE runs; --";
  UnitRecord r = Run("ttyUSB0", 0, {{"VER", "ZK-UNIT FW 2.13"}, {"SN", evil}});
  ASSERT_TRUE(db.Add(r, error)) << error;
  EXPECT_EQ(r.id, 1);

  EXPECT_EQ(Rows("PRAGMA user_version"), std::vector<std::string>{"1"});
  EXPECT_EQ(Rows("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  const std::pair<const char*, const char*> tables[] = {
      {"runs",
       "id INTEGER,station TEXT,unit TEXT,port TEXT,adapter TEXT,script TEXT,script_sha256 TEXT,"
       "baud INTEGER,start TEXT,end TEXT,outcome TEXT,exit_status INTEGER,message TEXT,"
       "first_error TEXT"},
      {"files",
       "run_id INTEGER,seq INTEGER,path TEXT,size INTEGER,checksum TEXT,address TEXT,"
       "version TEXT,sha256 TEXT,seconds REAL"},
      {"replies", "run_id INTEGER,seq INTEGER,query TEXT,reply TEXT"}};
  for (const auto& [table, columns] : tables) {
    std::string got;
    for (const std::string& row : Rows(std::string("SELECT name || ' ' || type FROM "
                                                   "pragma_table_info('") + table + "')"))
      got += (got.empty() ? "" : ",") + row;
    EXPECT_EQ(got, columns) << table;
  }
  EXPECT_EQ(Rows("SELECT id, station <> '', unit, port, adapter, script_sha256, baud, start,"
                 " \"end\", outcome, exit_status, message, first_error FROM runs"),
            std::vector<std::string>{
                "1|1|ttyUSB0|/dev/pts/77|NULL||115200|2025-12-06T05:46:40.123Z|"
                "2025-12-06T05:46:42.623Z|completed|0|Upload Complete.|NULL"});
  EXPECT_EQ(Rows("SELECT * FROM files"),
            std::vector<std::string>{"1|1|a.bin|3|126|8000|V1|abc123|0.25"});
  EXPECT_EQ(Rows("SELECT * FROM replies ORDER BY seq"),
            (std::vector<std::string>{"1|1|VER|ZK-UNIT FW 2.13", "1|2|SN|" + evil}));
}

TEST_F(History, QueriesFindRunsByUnitReplyOutcomeAndTime) {
  HistoryDb db;
  std::string error;
  ASSERT_TRUE(db.Open(path_, error)) << error;
  UnitRecord a = Run("ttyUSB0", 0, {{"SN", "SERIAL NO ZK-004711"}});
  UnitRecord b = Run("ttyUSB1", 1, {{"SN", "SERIAL NO ZK-004712"}});
  b.end += milliseconds(60'000);
  ASSERT_TRUE(db.Add(a, error) && db.Add(b, error)) << error;

  auto ids = [&](HistoryDb::Filter filter) {
    std::vector<UnitRecord> runs;
    EXPECT_TRUE(db.Runs(filter, runs, error)) << error;
    std::vector<int64_t> out;
    for (const UnitRecord& r : runs) out.push_back(r.id);
    return out;
  };
  const std::pair<HistoryDb::Filter, std::vector<int64_t>> cases[] = {
      {{}, {2, 1}},
      {{"", "ZK-004711", false}, {1}},
      {{"", "ttyUSB1", false}, {2}},
      {{"", "'", false}, {}},
      {{"", "", true}, {2}},
      {{IsoTimeUtc(a.end), "", false}, {2}},
      {{"2000-01-01", "ttyUSB", false}, {2, 1}},
  };
  for (const auto& [filter, want] : cases)
    EXPECT_EQ(ids(filter), want) << filter.since << " " << filter.unit << " " << filter.failedOnly;

  std::vector<UnitRecord> runs;
  ASSERT_TRUE(db.Runs({}, runs, error));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].errors, std::vector<std::string>{"Error! Unit not in Loader Mode! Exiting script"});
  EXPECT_EQ(runs[1].replies, a.replies);
  EXPECT_EQ(runs[1].start, a.start);
  EXPECT_EQ(runs[1].files.at(0).sha256, "abc123");
}

TEST_F(History, RefusesWhatItCannotUse) {
  std::string error;
  fs::create_directories(dir_ / "sub");
  std::ofstream(path_) << "this is no database, only text long enough to look like a header";
  HistoryDb db;
  EXPECT_FALSE(db.Open(path_, error));
  EXPECT_NE(error.find(path_), std::string::npos) << error;

  fs::remove(path_);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  EXPECT_FALSE(db.Open(path_, error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST_F(History, WritersAtOnceLoseNothing) {
  constexpr int kWriters = 4, kRuns = 25;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      HistoryDb db;  // a connection each, as separate processes have
      std::string error;
      if (!db.Open(path_, error)) {
        ++failures;
        ADD_FAILURE() << "writer " << w << ": " << error;
      }
      for (int i = 0; i < kRuns; ++i) {
        UnitRecord r = Run("u" + std::to_string(w), 0, {{"SN", std::to_string(i)}});
        if (!db.Add(r, error)) ++failures;
      }
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Rows("SELECT count(*), count(DISTINCT unit) FROM runs"),
            std::vector<std::string>{std::to_string(kWriters * kRuns) + "|" +
                                     std::to_string(kWriters)});
  EXPECT_EQ(Rows("SELECT count(*) FROM replies"), std::vector<std::string>{"100"});
}

TEST(HistoryPath, FollowsXdgDataHome) {
  const char* saved = getenv("XDG_DATA_HOME");
  const std::string keep = saved ? saved : "";
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(HistoryDb::DefaultPath(), "/data/zarnik/history.db");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(HistoryDb::DefaultPath(), std::string(getenv("HOME")) + "/.local/share/zarnik/history.db");
  if (saved) setenv("XDG_DATA_HOME", keep.c_str(), 1); else unsetenv("XDG_DATA_HOME");
}

TEST(RecordPieces, DigestsAndTimes) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256OfFile("/dev/null"), std::nullopt);  // not a regular file: never read
  const auto t = std::chrono::system_clock::time_point(milliseconds(1'765'000'000'123));
  EXPECT_EQ(ParseIsoTimeUtc(IsoTimeUtc(t)), t);
  EXPECT_EQ(ParseIsoTimeUtc("2025-12-06T05:46:40Z"), t - milliseconds(123));
  EXPECT_EQ(ParseIsoTimeUtc("2025-12-06 05:46:40"), std::nullopt);
}

}  // namespace
}  // namespace zarnik
