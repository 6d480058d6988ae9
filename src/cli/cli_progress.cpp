#include "cli/cli_progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace zarnik {

namespace {
constexpr int kBarWidth = 30;
// Into a file or pipe: a line at least this often while a file's data goes out.
constexpr uint64_t kLogLineMs = 5000;
}

uint64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ProgressBarText(const ProgressModel& m, const TransferMeter& meter, int barWidth) {
  const int max = std::max(1, m.Max());
  const int pos = std::clamp(m.Position(), 0, max);
  const int filled = pos * barWidth / max;
  std::string text = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] " +
                     std::to_string(pos) + "/" + std::to_string(max) + " blocks  " +
                     std::to_string(meter.BytesSent()) + "/" + std::to_string(meter.Size()) +
                     " bytes  ";
  if (meter.RateKnown())
    text += FormatRate(meter.BytesPerSecond()) + "  " + FormatDuration(meter.SecondsLeft());
  else
    text += FormatRate(-1) + "  " + FormatDuration(-1);
  return text + " left";
}

std::string SentText(const TransferMeter& meter) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", meter.SecondsSoFar());
  std::string text = "sent " + std::to_string(meter.BytesSent()) + " bytes in " + seconds + " s";
  if (meter.RateKnown()) text += " (" + FormatRate(meter.BytesPerSecond()) + ")";
  return text;
}

std::string ProgressLineText(const TransferMeter& meter) {
  const int64_t size = std::max<int64_t>(1, meter.Size());
  std::string text = std::to_string(meter.BytesSent()) + "/" + std::to_string(meter.Size()) +
                     " bytes  " + std::to_string(meter.BytesSent() * 100 / size) + "%  ";
  if (meter.RateKnown())
    return text + FormatRate(meter.BytesPerSecond()) + "  " + FormatDuration(meter.SecondsLeft()) +
           " left";
  return text + FormatRate(-1) + "  " + FormatDuration(-1) + " left";
}

void CliProgress::ProgressShown(const ProgressModel& m) {
  meter_.Start(clock_(), m.FileSize());
  lastLineMs_ = clock_();
  out_ << "file: " << m.BlockNameLabel() << "  size " << m.FileSizeLabel() << "  checksum "
       << m.ChecksumLabel() << "  address " << m.LoadAddressLabel();
  if (m.PCINumberVisible()) out_ << "  " << m.PCINumberLabel();
  out_ << std::endl;
  if (terminal_) {
    barOpen_ = true;
    DrawBar(m);
  }
}

void CliProgress::ProgressStepped(const ProgressModel& m) {
  const uint64_t now = clock_();
  meter_.Step(now);
  if (barOpen_) {
    DrawBar(m);
  } else if (now - lastLineMs_ >= kLogLineMs && meter_.BytesSent() < meter_.Size()) {
    // A long file is never minutes of silence in a log.
    lastLineMs_ = now;
    out_ << "  " << ProgressLineText(meter_) << std::endl;
  }
}

void CliProgress::ProgressHidden(const ProgressModel&) {
  if (barOpen_) {
    out_ << std::endl;
    barOpen_ = false;
    return;
  }
  out_ << SentText(meter_) << std::endl;
}

void CliProgress::PciBoardLabelChanged(const ProgressModel&) {}

void CliProgress::BreakLine() {
  if (barOpen_) out_ << '\n';
}

void CliProgress::DrawBar(const ProgressModel& m) {
  // Erase to the end of the line: the text can get shorter as the rate settles.
  out_ << "\r" << ProgressBarText(m, meter_, kBarWidth) << "\x1b[K" << std::flush;
}

}  // namespace zarnik
