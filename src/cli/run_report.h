// The recorder that fills the record of a run (record/run_record.h) as it goes.
//
// How it works: a UnitRecorder watches one run through the progress model (a file
// per shown bar, its blocks and time), the Host's message boxes (the last one is
// the run's message, the error boxes are kept) and the engine's queries (each _QC
// and the reply it kept).
//
// Threading: a recorder belongs to the window thread, like the run it watches.
#pragma once

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
  // From now on the run's message boxes are recorded; the version of each file is
  // taken from the engine when its bar is shown.
  void Watch(Host& host, const ScriptEngine* engine);
  // Before the host or the engine goes.
  void Unwatch();
  // The run ended with exitStatus; failText, when not empty, is why it could not
  // start (it becomes the message).
  void Finish(int exitStatus, const std::string& failText);
  const UnitRecord& Record() const { return record_; }

  // A _QC and the reply it kept (the engine's QueryReplied).
  void QueryReplied(std::string_view query, std::string_view reply);

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
};

}  // namespace zarnik
