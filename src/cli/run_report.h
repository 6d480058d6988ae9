// The recorder that fills the record of a run (record/run_record.h) as it goes.
//
// How it works: a UnitRecorder watches one run through the progress model (a file
// per shown bar, its blocks and time), the Host's message boxes (the last one is
// the run's message, the error boxes are kept) and the engine's queries (each _QC
// and the reply it kept).
//
// A RecordSink takes the finished record to where it goes: the JSON report
// (--report) and the history database (--db). Both are tried before anything is
// sent, and the record is written once, whichever way the run ends.
//
// Threading: a recorder belongs to the window thread, like the run it watches;
// Snapshot may be taken from another thread (a run cut short by a signal). A sink
// writes once, from whichever thread comes first.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "cli/cli_progress.h"
#include "platform/host.h"
#include "record/run_record.h"
#include "script/progress_model.h"
#include "script/transfer_meter.h"

namespace zarnik {

class ScriptEngine;

class UnitRecorder : public ProgressObserver {
 public:
  UnitRecorder(std::string unit, std::string script, MsClock clock);
  ~UnitRecorder() override;
  UnitRecorder(const UnitRecorder&) = delete;
  UnitRecorder& operator=(const UnitRecorder&) = delete;

  void SetPort(const std::string& port, int32_t baud);
  // The PCI board the files from now on go to.
  void SetBoard(int id) { board_ = id; }
  // From now on the run's message boxes and the engine's queries with their replies
  // are recorded; the version of each file is taken from the engine when its bar is
  // shown.
  void Watch(Host& host, ScriptEngine* engine);
  // Before the host or the engine goes.
  void Unwatch();
  // The run ended with exitStatus; failText, when not empty, is why it could not
  // start (it becomes the message).
  void Finish(int exitStatus, const std::string& failText);
  const UnitRecord& Record() const { return record_; }
  // A copy of the record as it stands, ended now with exitStatus: for a run cut
  // short while its thread is still busy.
  UnitRecord Snapshot(int exitStatus) const;

  // A _QC and the reply it kept (the engine's QueryReplied).
  void QueryReplied(std::string_view query, std::string_view reply);

  void ProgressShown(const ProgressModel& m) override;
  void ProgressStepped(const ProgressModel& m) override;
  void ProgressHidden(const ProgressModel& m) override;

 private:
  mutable std::mutex mutex_;  // record_ against Snapshot
  UnitRecord record_;
  MsClock clock_;
  TransferMeter meter_;
  Host* host_ = nullptr;
  int watchId_ = 0;
  ScriptEngine* engine_ = nullptr;
  int board_ = -1;
};

class HistoryDb;

class RecordSink {
 public:
  // Empty paths: no report, no history.
  RecordSink(std::string reportPath, std::string dbPath);
  ~RecordSink();
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  // Before anything is sent: the report can be written and the history opened.
  bool Check(std::string& error);
  // Writes the record to both; false with every failure in `error`. Only the first
  // call writes (and sets *wrote); later ones return true and do nothing.
  bool Write(UnitRecord record, std::string& error, bool* wrote = nullptr);
  // The JSON of the record last written (empty before).
  const std::string& Json() const { return json_; }

 private:
  std::mutex mutex_;
  bool written_ = false;
  std::string reportPath_, dbPath_, json_;
  std::unique_ptr<HistoryDb> db_;
};

// The end of a run whose record could not be written, one unit's or several units':
// `error` (which file, and why) on a line of its own, then the verdict, which says so
// after `failure` (why the run itself failed; "" when it did not). Nothing may follow:
// a run that exits unsuccessful must not end on a line that reads as success.
void EndOnUnwrittenRecord(std::ostream& out, const std::string& error, const std::string& failure);

// Given a run's record and why it could not be written ("" when it was).
using RecordTold = std::function<void(const UnitRecord&, const std::string& writeError)>;

// A run that a signal ends at once (a second Ctrl-C, or a signal while nothing can
// be stopped): the record as it stands, with "ended by <signal>" as its message and
// 128 + sig as its status, goes to the sink and to `tell` (the parent of a unit run
// among several); `last` is given it after that (the verdict line, and the record's
// failure when it could not be written); then the process ends with 128 + sig. From
// the thread that watches the signals, never from a handler: it takes locks and
// writes files.
[[noreturn]] void EndRunNow(int sig, const UnitRecorder& recorder, RecordSink& sink,
                            const RecordTold& tell, const RecordTold& last);

}  // namespace zarnik
