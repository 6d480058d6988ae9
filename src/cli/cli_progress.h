// The progress window of the command line: on a terminal a bar per file that
// redraws in place, with the file's name, size, checksum and load address, the
// bytes sent, the rate and the time left; into a file or pipe one line per file
// when it starts, a progress line at least every 5 s while its data goes out, and
// one when it has gone out, so logs stay readable.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "script/progress_model.h"
#include "script/transfer_meter.h"

namespace zarnik {

// A clock in milliseconds; the bars' rate and time left are measured on it.
using MsClock = std::function<uint64_t()>;
// The steady clock of the process.
uint64_t SteadyMs();

// "[#####.....] 12/524 blocks  24000/1048576 bytes  11.5 kB/s  1:23 left", the bar
// `barWidth` characters wide.
std::string ProgressBarText(const ProgressModel& m, const TransferMeter& meter, int barWidth);
// "sent 1048576 bytes in 91.0 s (11.5 kB/s)".
std::string SentText(const TransferMeter& meter);
// "24000/1048576 bytes  2%  11.5 kB/s  1:23 left": a file's progress as a log line.
std::string ProgressLineText(const TransferMeter& meter);

class CliProgress : public ProgressObserver {
 public:
  CliProgress(std::ostream& out, bool terminal, MsClock clock = SteadyMs)
      : out_(out), terminal_(terminal), clock_(std::move(clock)) {}

  void ProgressShown(const ProgressModel& m) override;
  void ProgressStepped(const ProgressModel& m) override;
  void ProgressHidden(const ProgressModel& m) override;
  void PciBoardLabelChanged(const ProgressModel& m) override;
  // Ends a bar being drawn, so another line can be written below it.
  void BreakLine();

 private:
  void DrawBar(const ProgressModel& m);
  std::ostream& out_;
  bool terminal_;
  MsClock clock_;
  TransferMeter meter_;
  bool barOpen_ = false;
  uint64_t lastLineMs_ = 0;
};

}  // namespace zarnik
