#include "script/transfer_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "script/script_engine.h"

namespace zarnik {

void TransferMeter::Start(uint64_t nowMs, int64_t size) {
  startMs_ = lastStepMs_ = nowMs;
  size_ = std::max<int64_t>(size, 0);
  steps_ = 0;
}

void TransferMeter::Step(uint64_t nowMs) {
  ++steps_;
  lastStepMs_ = std::max(nowMs, startMs_);
}

int64_t TransferMeter::BytesSent() const {
  return std::min<int64_t>(static_cast<int64_t>(steps_) * kBlockSize, size_);
}

bool TransferMeter::RateKnown() const {
  return steps_ > 0 && lastStepMs_ > startMs_;
}

double TransferMeter::BytesPerSecond() const {
  if (!RateKnown()) return 0;
  return static_cast<double>(BytesSent()) * 1000.0 / static_cast<double>(lastStepMs_ - startMs_);
}

double TransferMeter::SecondsLeft() const {
  const int64_t left = size_ - BytesSent();
  if (left <= 0) return 0;
  const double rate = BytesPerSecond();
  return rate > 0 ? static_cast<double>(left) / rate : -1;
}

double TransferMeter::SecondsSoFar() const {
  return (lastStepMs_ - startMs_) / 1000.0;
}

std::string FormatRate(double bytesPerSecond) {
  char text[32];
  if (!std::isfinite(bytesPerSecond) || bytesPerSecond < 0) return "-- B/s";
  if (bytesPerSecond < 999.5)
    std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
  else if (bytesPerSecond < 999.95e3)
    std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
  else
    std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / 1e6);
  return text;
}

std::string FormatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 359999) return "--:--";
  const long whole = std::lround(std::ceil(seconds));
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace zarnik
