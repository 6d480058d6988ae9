#include "cli/cli_progress.h"

#include <algorithm>

namespace zarnik {

namespace {
constexpr int kBarWidth = 40;
}

void CliProgress::ProgressShown(const ProgressModel& m) {
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
  if (barOpen_) DrawBar(m);
}

void CliProgress::ProgressHidden(const ProgressModel&) {
  if (!barOpen_) return;
  out_ << std::endl;
  barOpen_ = false;
}

void CliProgress::PciBoardLabelChanged(const ProgressModel&) {}

void CliProgress::BreakLine() {
  if (barOpen_) out_ << '\n';
}

void CliProgress::DrawBar(const ProgressModel& m) {
  const int max = std::max(1, m.Max());
  const int pos = std::clamp(m.Position(), 0, max);
  const int filled = pos * kBarWidth / max;
  out_ << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] "
       << pos << "/" << max << " blocks" << std::flush;
}

}  // namespace zarnik
