// The history database: the record of every run in SQLite, so a plant can ask which units got
// which firmware, and which failed. Any SQLite tool can read the file; the schema is the README's:
//
//   runs(id INTEGER PRIMARY KEY, station, unit, port, adapter, script, script_sha256, baud,
//        start, "end", outcome, exit_status, message, first_error)
//   files(run_id, seq, path, size, checksum, address, version, sha256, seconds)
//   replies(run_id, seq, query, reply)
//
// How it works: the schema's version is the database's user_version; Open brings an older file
// up through each migration in turn and refuses a newer one. The file is in WAL mode with a busy
// timeout, so several zarnik-cli processes can write at once; each run is one transaction,
// so a reader sees a run whole or not at all. Every value goes in as a bound parameter, never
// as SQL text: nothing a script or a unit sends can change a statement.
//
// Threading: one HistoryDb per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/run_record.h"

struct sqlite3;

namespace zarnik {

// The serial number udev knows for the USB adapter behind a serial device (ID_SERIAL_SHORT);
// nullopt for a device without one (a built-in port, a pty) or a path that is no device.
std::optional<std::string> AdapterSerialNumber(const std::string& devicePath);
// The name of this machine, for the `station` of a run.
std::string StationName();

class HistoryDb {
 public:
  static constexpr int kSchemaVersion = 1;
  static constexpr int kBusyTimeoutMs = 10000;

  HistoryDb() = default;
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // $XDG_DATA_HOME/zarnik/history.db, else ~/.local/share/zarnik/history.db.
  static std::string DefaultPath();

  // Opens the database, creating it and its folder when missing, and brings its schema to
  // kSchemaVersion. False with `error` when it cannot be opened, is no database, or was made by
  // a newer version.
  bool Open(const std::string& path, std::string& error);

  // Writes a run with its files and replies in one transaction. Fills in what only the history
  // keeps when the record lacks it (station, adapter from the port, the script's digest) and
  // sets record.id.
  bool Add(UnitRecord& record, std::string& error);

  struct Filter {
    std::string since;    // only runs that ended after this time (ISO 8601 text, UTC)
    std::string unit;     // only runs whose unit name or any reply contains this
    bool failedOnly = false;  // only runs that did not complete
    int64_t limit = -1;       // at most this many (the newest); -1: all
  };
  // The runs that pass the filter, newest first, with their files and replies.
  bool Runs(const Filter& filter, std::vector<UnitRecord>& runs, std::string& error);

 private:
  bool Exec(const char* sql, std::string& error);
  bool Migrate(std::string& error);
  int SchemaVersion();  // -1 when it cannot be read
  static int WaitWhileBusy(void* self, int attempt);
  std::string LastError() const;

  sqlite3* db_ = nullptr;
  std::string path_;
  std::chrono::steady_clock::time_point busySince_;
};

}  // namespace zarnik
