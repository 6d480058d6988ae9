// The record of a run: what was loaded where, when, what the unit replied and how
// the run ended. It is written as JSON (--report: one record per unit in
// {"units": [...]}, the schema is in the README) and into the history database
// (record/history_db.h), and read back from there by `zarnik-cli history`.
//
// How it works: the record is made into JSON by a small writer that escapes strings
// fully and keeps the output valid UTF-8 (a path or a reply may hold any bytes). A
// report file is written whole to a temporary file beside it and renamed over it,
// so a reader never sees half a report. Who fills a record: cli/run_report.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <optional>

namespace zarnik {

// A compact JSON text built value by value; commas and colons are placed for the
// caller. Strings are escaped: " \ and control characters, and bytes that are not
// UTF-8 become U+FFFD, so the text is always valid JSON.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  // Fixed with `decimals` digits after the point; null when not finite.
  JsonWriter& Number(double value, int decimals);
  JsonWriter& Bool(bool value);
  // A value that is JSON text already (another writer's).
  JsonWriter& Raw(std::string_view json);
  const std::string& Text() const { return text_; }

  // The quoted, escaped form of a string.
  static std::string Quote(std::string_view value);

 private:
  void BeforeValue();
  std::string text_;
  std::vector<bool> first_;  // per open object or array: no value in it yet
  bool afterKey_ = false;
};

// "2026-12-08T06:45:01.123Z".
std::string IsoTimeUtc(std::chrono::system_clock::time_point t);
// The time IsoTimeUtc wrote (seconds and milliseconds optional); nullopt for other text.
std::optional<std::chrono::system_clock::time_point> ParseIsoTimeUtc(std::string_view text);

struct FileRecord {
  std::string path;
  int64_t size = 0;
  std::string checksum;  // lower-case hex, as the load line carries it
  std::string address;
  std::string version;
  std::string sha256;  // of the file's content when its load began; empty when unreadable
  int blocks = 0;      // blocks sent
  double seconds = 0;  // from the bar shown to its last block
  int board = -1;      // the PCI board ID it went to; -1 on a port
};

// A query the script sent (_QC) and the reply it kept for its tests.
struct ReplyRecord {
  std::string query;
  std::string reply;
  bool operator==(const ReplyRecord&) const = default;
};

struct UnitRecord {
  std::string unit;
  std::string script;
  std::string port;
  int32_t baud = 0;
  std::chrono::system_clock::time_point start, end;
  int exitStatus = 2;
  std::string message;              // the last message of the run
  std::vector<std::string> errors;  // every error message shown
  std::vector<FileRecord> files;
  std::vector<ReplyRecord> replies;
  // Known once the record is in the history database (record/history_db.h).
  int64_t id = 0;
  std::string station;                // the host name
  std::optional<std::string> adapter; // the USB adapter's serial number
  std::string scriptSha256;
};

// "completed", "failed" or "not started" for exit status 0, 1, 2.
const char* OutcomeOf(int exitStatus);
// The record as a JSON object; the history fields (id, station, adapter,
// script_sha256) only when `withHistory`.
std::string RecordJson(const UnitRecord& record, bool withHistory = false);
// {"units": [...]} from the records' JSON texts.
std::string ReportJson(const std::vector<std::string>& records);

// Writes text to path by way of a temporary file in the same folder and a rename.
// False with error, "cannot write <what> <path>: <why>", when anything fails; nothing
// is left behind then.
bool WriteFileAtomically(const std::string& path, const std::string& what, const std::string& text,
                         std::string& error);
// --report -: the report goes to stdout, for a pipe.
inline constexpr const char* kReportToStdout = "-";
// The report to its file (WriteFileAtomically), or to out for kReportToStdout.
bool WriteReport(const std::string& path, const std::string& json, std::ostream& out,
                 std::string& error);
// Whether a file (the report, a transcript) can be written to path, tried before anything
// is sent; error is "cannot write <what> <path>: <why>".
bool CanWriteFile(const std::string& path, const std::string& what, std::string& error);

}  // namespace zarnik
