// The progress window of the command line: on a terminal a bar per file that
// redraws in place, with the file's name, size, checksum and load address; into a
// file or pipe one line per file, so logs stay readable.
#pragma once

#include <ostream>

#include "script/progress_model.h"

namespace zarnik {

class CliProgress : public ProgressObserver {
 public:
  CliProgress(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

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
  bool barOpen_ = false;
};

}  // namespace zarnik
