#include "cli/run_report.h"

#include <cstdio>

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
  record_.port = port;
  record_.baud = baud;
}

void UnitRecorder::Watch(Host& host, const ScriptEngine* engine) {
  Unwatch();
  host_ = &host;
  engine_ = engine;
  watchId_ = host.WatchMessages([this](const std::string& text) {
    record_.message = text;
    if (RunOutcome::IsErrorMessage(text)) record_.errors.push_back(text);
  });
}

void UnitRecorder::Unwatch() {
  if (host_) host_->UnwatchMessages(watchId_);
  host_ = nullptr;
  engine_ = nullptr;
}

void UnitRecorder::Finish(int exitStatus, const std::string& failText) {
  record_.exitStatus = exitStatus;
  if (!failText.empty()) record_.message = failText;
  record_.end = std::chrono::system_clock::now();
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
  record_.files.push_back(std::move(f));
}

void UnitRecorder::QueryReplied(std::string_view query, std::string_view reply) {
  record_.replies.push_back({std::string(query), std::string(reply)});
}

void UnitRecorder::ProgressStepped(const ProgressModel&) {
  meter_.Step(clock_());
  if (record_.files.empty()) return;
  record_.files.back().blocks = meter_.Steps();
  record_.files.back().seconds = meter_.SecondsSoFar();
}

void UnitRecorder::ProgressHidden(const ProgressModel&) {}

}  // namespace zarnik
