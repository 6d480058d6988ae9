// The record of a run for --report: what was loaded where, when, and how it ended,
// as JSON, one record per unit in {"units": [...]} (the schema is in the README).
//
// How it works: a UnitRecorder watches one run through the progress model (a file
// per shown bar, its blocks and time) and the Host's message boxes (the last one
// is the run's message, the error boxes are kept). The record is made into JSON by
// a small writer that escapes strings fully and keeps the output valid UTF-8 (a
// path may hold any bytes). The report file is written whole to a temporary file
// beside it and renamed over it, so a reader never sees half a report, and it is
// written also when the run failed or could not start.
//
// Threading: a recorder belongs to the window thread, like the run it watches.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_progress.h"
#include "platform/host.h"
#include "script/progress_model.h"
#include "script/transfer_meter.h"

namespace zarnik {

class ScriptEngine;

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

struct FileRecord {
  std::string path;
  int64_t size = 0;
  std::string checksum;  // lower-case hex, as the load line carries it
  std::string address;
  std::string version;
  int blocks = 0;      // blocks sent
  double seconds = 0;  // from the bar shown to its last block
  int board = -1;      // the PCI board ID it went to; -1 on a port
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
};

// "completed", "failed" or "not started" for exit status 0, 1, 2.
const char* OutcomeOf(int exitStatus);
std::string RecordJson(const UnitRecord& record);
// {"units": [...]} from the records' JSON texts.
std::string ReportJson(const std::vector<std::string>& records);

// Writes text to path by way of a temporary file in the same folder and a rename.
// False with error when anything fails; nothing is left behind then.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);
// --report -: the report goes to stdout, for a pipe.
inline constexpr const char* kReportToStdout = "-";
// The report to its file (WriteFileAtomically), or to out for kReportToStdout.
bool WriteReport(const std::string& path, const std::string& json, std::ostream& out,
                 std::string& error);
// Whether a file (the report, a transcript) can be written to path, tried before anything
// is sent; error is "cannot write <what> <path>: <why>".
bool CanWriteFile(const std::string& path, const std::string& what, std::string& error);

class UnitRecorder : public ProgressObserver {
 public:
  UnitRecorder(std::string unit, std::string script, MsClock clock);
  ~UnitRecorder() override;
  UnitRecorder(const UnitRecorder&) = delete;
  UnitRecorder& operator=(const UnitRecorder&) = delete;

  void SetPort(const std::string& port, int32_t baud);
  // The PCI board the files from now on go to.
  void SetBoard(int id) { board_ = id; }
  // From now on the run's message boxes are recorded; the version of each file is
  // taken from the engine when its bar is shown.
  void Watch(Host& host, const ScriptEngine* engine);
  // Before the host or the engine goes.
  void Unwatch();
  // The run ended with exitStatus; failText, when not empty, is why it could not
  // start (it becomes the message).
  void Finish(int exitStatus, const std::string& failText);
  const UnitRecord& Record() const { return record_; }

  void ProgressShown(const ProgressModel& m) override;
  void ProgressStepped(const ProgressModel& m) override;
  void ProgressHidden(const ProgressModel& m) override;

 private:
  UnitRecord record_;
  MsClock clock_;
  TransferMeter meter_;
  Host* host_ = nullptr;
  int watchId_ = 0;
  const ScriptEngine* engine_ = nullptr;
  int board_ = -1;
};

}  // namespace zarnik
