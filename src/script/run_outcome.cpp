#include "script/run_outcome.h"

namespace zarnik {

RunOutcome::RunOutcome(Host& host)
    : host_(host), watchId_(host.WatchMessages([this](const std::string& text) {
        if (IsErrorMessage(text)) errorShown_ = true;
      })) {}

RunOutcome::~RunOutcome() {
  host_.UnwatchMessages(watchId_);
}

bool RunOutcome::IsErrorMessage(std::string_view text) {
  return text.starts_with("Error") || text.starts_with("Timeout error");
}

bool RunOutcome::Succeeded(UploadOutcome outcome) const {
  return outcome == UploadOutcome::Complete && !errorShown_;
}

bool RunOutcome::Succeeded(bool readIniResult, bool cancelled) const {
  return readIniResult && !cancelled && !errorShown_;
}

}  // namespace zarnik
