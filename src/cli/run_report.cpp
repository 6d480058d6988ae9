#include "cli/run_report.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "record/history_db.h"
#include "record/sha256.h"
#include "script/run_outcome.h"
#include "script/script_engine.h"

namespace zarnik {

// ---- UnitRecorder ----

UnitRecorder::UnitRecorder(std::string unit, std::string script, MsClock clock)
    : clock_(std::move(clock)) {
  record_.unit = std::move(unit);
  record_.script = std::move(script);
  record_.start = record_.end = std::chrono::system_clock::now();
}

UnitRecorder::~UnitRecorder() {
  Unwatch();
}

void UnitRecorder::SetPort(const std::string& port, int32_t baud) {
  std::lock_guard lock(mutex_);
  record_.port = port;
  record_.baud = baud;
}

void UnitRecorder::Watch(Host& host, ScriptEngine* engine) {
  Unwatch();
  host_ = &host;
  engine_ = engine;
  watchId_ = host.WatchMessages([this](const std::string& text) {
    std::lock_guard lock(mutex_);
    record_.message = text;
    if (RunOutcome::IsErrorMessage(text)) record_.errors.push_back(text);
  });
  if (engine)
    engine->QueryReplied = [this](std::string_view q, std::string_view r) { QueryReplied(q, r); };
}

void UnitRecorder::Unwatch() {
  if (engine_) engine_->QueryReplied = nullptr;
  if (host_) host_->UnwatchMessages(watchId_);
  host_ = nullptr;
  engine_ = nullptr;
}

void UnitRecorder::Finish(int exitStatus, const std::string& failText) {
  std::lock_guard lock(mutex_);
  record_.exitStatus = exitStatus;
  if (!failText.empty()) record_.message = failText;
  record_.end = std::chrono::system_clock::now();
}

UnitRecord UnitRecorder::Snapshot(int exitStatus) const {
  std::lock_guard lock(mutex_);
  UnitRecord copy = record_;
  copy.exitStatus = exitStatus;
  copy.end = std::chrono::system_clock::now();
  return copy;
}

void UnitRecorder::ProgressShown(const ProgressModel& m) {
  meter_.Start(clock_(), m.FileSize());
  FileRecord f;
  f.path = m.BlockNameLabel();
  f.size = m.FileSize();
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(m.FileChecksum()));
  f.checksum = hex;
  f.address = m.LoadAddressLabel();
  if (engine_) f.version = engine_->LoadVersion.str();
  f.sha256 = Sha256OfFile(f.path).value_or("");
  f.board = board_;
  std::lock_guard lock(mutex_);
  record_.files.push_back(std::move(f));
}

void UnitRecorder::QueryReplied(std::string_view query, std::string_view reply) {
  std::lock_guard lock(mutex_);
  record_.replies.push_back({std::string(query), std::string(reply)});
}

void UnitRecorder::ProgressStepped(const ProgressModel&) {
  meter_.Step(clock_());
  std::lock_guard lock(mutex_);
  if (record_.files.empty()) return;
  record_.files.back().blocks = meter_.Steps();
  record_.files.back().seconds = meter_.SecondsSoFar();
}

void UnitRecorder::ProgressHidden(const ProgressModel&) {}

// ---- RecordSink ----

RecordSink::RecordSink(std::string reportPath, std::string dbPath)
    : reportPath_(std::move(reportPath)), dbPath_(std::move(dbPath)) {}

RecordSink::~RecordSink() = default;

bool RecordSink::Check(std::string& error) {
  if (!reportPath_.empty() && reportPath_ != kReportToStdout &&
      !CanWriteFile(reportPath_, "report", error))
    return false;
  if (dbPath_.empty()) return true;
  db_ = std::make_unique<HistoryDb>();
  if (db_->Open(dbPath_, error)) return true;
  db_.reset();
  return false;
}

bool RecordSink::Write(UnitRecord record, std::string& error, bool* wrote) {
  std::lock_guard lock(mutex_);
  if (written_) return true;
  written_ = true;
  if (wrote) *wrote = true;
  bool ok = true;
  std::string why;
  if (db_ && !db_->Add(record, why)) {
    error = why;
    ok = false;
  }
  json_ = RecordJson(record);
  if (!reportPath_.empty() && !WriteReport(reportPath_, ReportJson({json_}), std::cout, why)) {
    error += (ok ? "" : "; ") + why;
    ok = false;
  }
  return ok;
}

void EndOnUnwrittenRecord(std::ostream& out, const std::string& error, const std::string& failure) {
  // One write: a run ended at once does so from another thread than the one that
  // may still be writing.
  out << "zarnik-cli: " + error + "\nzarnik-cli: FAILED: " + failure + (failure.empty() ? "" : "; ") +
             "the record could not be written\n"
      << std::flush;
}

// ---- A run ended by a signal ----

void EndRunNow(int sig, const UnitRecorder& recorder, RecordSink& sink, const RecordTold& tell,
               const RecordTold& last) {
  UnitRecord record = recorder.Snapshot(128 + sig);
  const char* name = sig == SIGINT ? "Ctrl-C" : sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : nullptr;
  record.message = "ended by " + (name ? std::string(name) : "signal " + std::to_string(sig));
  std::string error;
  bool wrote = false;
  if (sink.Write(record, error, &wrote)) error.clear();
  // Ended after its record was written: that record stands.
  if (wrote && tell) tell(record, error);
  if (last) last(record, error);
  std::cerr.flush();
  _exit(128 + sig);
}

}  // namespace zarnik
