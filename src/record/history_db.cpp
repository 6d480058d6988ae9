#include "record/history_db.h"

#include <libudev.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "record/sha256.h"

namespace zarnik {

namespace {

// Migration n takes a database from schema version n to n + 1.
const char* const kMigrations[] = {
    "CREATE TABLE runs(id INTEGER PRIMARY KEY, station TEXT, unit TEXT, port TEXT, adapter TEXT,"
    " script TEXT, script_sha256 TEXT, baud INTEGER, start TEXT, \"end\" TEXT, outcome TEXT,"
    " exit_status INTEGER, message TEXT, first_error TEXT);"
    "CREATE TABLE files(run_id INTEGER NOT NULL REFERENCES runs(id), seq INTEGER NOT NULL,"
    " path TEXT, size INTEGER, checksum TEXT, address TEXT, version TEXT, sha256 TEXT,"
    " seconds REAL, PRIMARY KEY(run_id, seq));"
    "CREATE TABLE replies(run_id INTEGER NOT NULL REFERENCES runs(id), seq INTEGER NOT NULL,"
    " query TEXT, reply TEXT, PRIMARY KEY(run_id, seq));"
    "CREATE INDEX runs_end ON runs(\"end\");",
};
static_assert(std::size(kMigrations) == HistoryDb::kSchemaVersion);

// A prepared statement, finalized when it goes; Bind* count from 1 as SQLite does.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return ok_; }
  void Bind(int i, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  }
  void Bind(int i, const std::optional<std::string>& text) {
    if (text) {
      Bind(i, *text);
    } else {
      Check(sqlite3_bind_null(stmt_, i));
    }
  }
  void Bind(int i, int64_t value) { Check(sqlite3_bind_int64(stmt_, i, value)); }
  void Bind(int i, double value) { Check(sqlite3_bind_double(stmt_, i, value)); }
  // One step of a statement that returns no rows; false on failure.
  bool Run() {
    const bool done = ok_ && sqlite3_step(stmt_) == SQLITE_DONE;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return done;
  }
  // The next row, or false at the end (and on failure: then Ok() turns false).
  bool Next() {
    if (!ok_) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) ok_ = false;
    return false;
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string Text(int col) const {
    const auto* text = sqlite3_column_text(stmt_, col);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                : std::string();
  }
  std::optional<std::string> OptionalText(int col) const {
    if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
    return Text(col);
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  double Real(int col) const { return sqlite3_column_double(stmt_, col); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) ok_ = false;
  }
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
};

std::chrono::system_clock::time_point TimeOf(const std::string& text) {
  return ParseIsoTimeUtc(text).value_or(std::chrono::system_clock::time_point{});
}

}  // namespace

std::optional<std::string> AdapterSerialNumber(const std::string& devicePath) {
  struct stat st {};
  if (devicePath.empty() || stat(devicePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
    return std::nullopt;
  udev* context = udev_new();
  if (context == nullptr) return std::nullopt;
  std::optional<std::string> serial;
  if (udev_device* device = udev_device_new_from_devnum(context, 'c', st.st_rdev)) {
    if (const char* value = udev_device_get_property_value(device, "ID_SERIAL_SHORT");
        value != nullptr && *value != '\0')
      serial = value;
    udev_device_unref(device);
  }
  udev_unref(context);
  return serial;
}

std::string StationName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

HistoryDb::~HistoryDb() { sqlite3_close(db_); }

std::string HistoryDb::DefaultPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data != nullptr && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  return base + "/zarnik/history.db";
}

std::string HistoryDb::LastError() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

bool HistoryDb::Exec(const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message != nullptr ? message : LastError();
  sqlite3_free(message);
  return false;
}

// SQLite's own busy wait backs off to 100 ms sleeps, so with several writers one of
// them can lose the race again and again; short sleeps with a little jitter share
// the lock fairly. Gives up after kBusyTimeoutMs.
int HistoryDb::WaitWhileBusy(void* self, int attempt) {
  auto* db = static_cast<HistoryDb*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (attempt == 0) db->busySince_ = now;
  if (now - db->busySince_ >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  usleep(static_cast<useconds_t>(500 + (std::rand() % 2000)));
  return 1;
}

bool HistoryDb::Open(const std::string& path, std::string& error) {
  sqlite3_close(db_);
  db_ = nullptr;
  path_ = path;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot open history " + path + ": " + ec.message();
    return false;
  }
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    error = "cannot open history " + path + ": " + LastError();
    return false;
  }
  sqlite3_busy_handler(db_, &HistoryDb::WaitWhileBusy, this);
  // Switching a new file to WAL, or reading its version while another process does,
  // can answer "locked" at once without the busy wait (SQLite's guard against a
  // deadlock between readers becoming writers): such a start is tried again.
  std::string why;
  bool ready = false;
  const auto giveUp =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    why.clear();
    ready = Exec("PRAGMA journal_mode=WAL", why) && Migrate(why);
    const int code = sqlite3_errcode(db_) & 0xFF;
    if (ready || (code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() >= giveUp)
      break;
    usleep(static_cast<useconds_t>(500 + (std::rand() % 2000)));
  }
  if (!ready) {
    error = "cannot open history " + path + ": " + why;
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  return true;
}

int HistoryDb::SchemaVersion() {
  Statement version(db_, "PRAGMA user_version");
  return version.Next() ? static_cast<int>(version.Int(0)) : -1;
}

bool HistoryDb::Migrate(std::string& error) {
  // A current file needs no write lock: opening stays cheap with many writers.
  if (SchemaVersion() == kSchemaVersion) return true;
  // Under the write lock, so two processes opening a new file do not both create the tables.
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  int current = SchemaVersion();
  if (current < 0 || current > kSchemaVersion) {
    error = current < 0 ? LastError()
                        : "made by a newer zarnik-cli (schema version " +
                              std::to_string(current) + ")";
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  }
  for (; current < kSchemaVersion; ++current) {
    if (!Exec(kMigrations[current], error)) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return false;
    }
  }
  const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  if (!Exec(setVersion.c_str(), error) || !Exec("COMMIT", error)) {
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  }
  return true;
}

bool HistoryDb::Add(UnitRecord& r, std::string& error) {
  if (db_ == nullptr) {
    error = "the history is not open";
    return false;
  }
  if (r.station.empty()) r.station = StationName();
  if (!r.adapter) r.adapter = AdapterSerialNumber(r.port);
  if (r.scriptSha256.empty()) r.scriptSha256 = Sha256OfFile(r.script).value_or("");

  auto fail = [&](const std::string& what) {
    error = "cannot write history " + path_ + ": " + what;
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  };
  if (!Exec("BEGIN IMMEDIATE", error)) return fail(error);
  Statement run(db_,
                "INSERT INTO runs(station, unit, port, adapter, script, script_sha256, baud,"
                " start, \"end\", outcome, exit_status, message, first_error)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
  run.Bind(1, r.station);
  run.Bind(2, r.unit);
  run.Bind(3, r.port);
  run.Bind(4, r.adapter);
  run.Bind(5, r.script);
  run.Bind(6, r.scriptSha256);
  run.Bind(7, static_cast<int64_t>(r.baud));
  run.Bind(8, IsoTimeUtc(r.start));
  run.Bind(9, IsoTimeUtc(r.end));
  run.Bind(10, std::string(OutcomeOf(r.exitStatus)));
  run.Bind(11, static_cast<int64_t>(r.exitStatus));
  run.Bind(12, r.message);
  run.Bind(13, r.errors.empty() ? std::nullopt : std::optional<std::string>(r.errors.front()));
  if (!run.Run()) return fail(LastError());
  const int64_t id = sqlite3_last_insert_rowid(db_);

  Statement file(db_,
                 "INSERT INTO files(run_id, seq, path, size, checksum, address, version, sha256,"
                 " seconds) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  for (size_t i = 0; i < r.files.size(); ++i) {
    const FileRecord& f = r.files[i];
    file.Bind(1, id);
    file.Bind(2, static_cast<int64_t>(i + 1));
    file.Bind(3, f.path);
    file.Bind(4, f.size);
    file.Bind(5, f.checksum);
    file.Bind(6, f.address);
    file.Bind(7, f.version);
    file.Bind(8, f.sha256.empty() ? std::nullopt : std::optional<std::string>(f.sha256));
    file.Bind(9, f.seconds);
    if (!file.Run()) return fail(LastError());
  }
  Statement reply(db_, "INSERT INTO replies(run_id, seq, query, reply) VALUES(?1, ?2, ?3, ?4)");
  for (size_t i = 0; i < r.replies.size(); ++i) {
    reply.Bind(1, id);
    reply.Bind(2, static_cast<int64_t>(i + 1));
    reply.Bind(3, r.replies[i].query);
    reply.Bind(4, r.replies[i].reply);
    if (!reply.Run()) return fail(LastError());
  }
  if (!Exec("COMMIT", error)) return fail(error);
  r.id = id;
  return true;
}

bool HistoryDb::Runs(const Filter& filter, std::vector<UnitRecord>& runs, std::string& error) {
  runs.clear();
  if (db_ == nullptr) {
    error = "the history is not open";
    return false;
  }
  Statement select(db_,
                   "SELECT id, station, unit, port, adapter, script, script_sha256, baud, start,"
                   " \"end\", exit_status, message, first_error FROM runs"
                   " WHERE (?1 IS NULL OR \"end\" > ?1)"
                   " AND (?2 IS NULL OR instr(unit, ?2) > 0 OR EXISTS (SELECT 1 FROM replies"
                   "      WHERE replies.run_id = runs.id AND instr(replies.reply, ?2) > 0))"
                   " AND (?3 = 0 OR outcome <> 'completed')"
                   " ORDER BY id DESC LIMIT ?4");
  Statement files(db_,
                  "SELECT path, size, checksum, address, version, sha256, seconds FROM files"
                  " WHERE run_id = ?1 ORDER BY seq");
  Statement replies(db_, "SELECT query, reply FROM replies WHERE run_id = ?1 ORDER BY seq");
  auto text = [](const std::string& s) {
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
  };
  select.Bind(1, text(filter.since));
  select.Bind(2, text(filter.unit));
  select.Bind(3, static_cast<int64_t>(filter.failedOnly ? 1 : 0));
  select.Bind(4, filter.limit);
  while (select.Next()) {
    UnitRecord r;
    r.id = select.Int(0);
    r.station = select.Text(1);
    r.unit = select.Text(2);
    r.port = select.Text(3);
    r.adapter = select.OptionalText(4);
    r.script = select.Text(5);
    r.scriptSha256 = select.Text(6);
    r.baud = static_cast<int32_t>(select.Int(7));
    r.start = TimeOf(select.Text(8));
    r.end = TimeOf(select.Text(9));
    r.exitStatus = static_cast<int>(select.Int(10));
    r.message = select.Text(11);
    if (auto first = select.OptionalText(12)) r.errors.push_back(*first);
    files.Bind(1, r.id);
    while (files.Next()) {
      r.files.push_back({files.Text(0), files.Int(1), files.Text(2), files.Text(3), files.Text(4),
                         files.Text(5), 0, files.Real(6)});
    }
    files.Reset();
    replies.Bind(1, r.id);
    while (replies.Next()) r.replies.push_back({replies.Text(0), replies.Text(1)});
    replies.Reset();
    if (!files.Ok() || !replies.Ok()) break;
    runs.push_back(std::move(r));
  }
  if (!select.Ok() || !files.Ok() || !replies.Ok()) {
    error = "cannot read history " + path_ + ": " + LastError();
    return false;
  }
  return true;
}

}  // namespace zarnik
