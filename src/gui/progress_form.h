// TProgressForm: the progress window. It draws the ProgressModel (which file goes
// out, its checksum, load address and size, one bar step per block) and its Stop
// button presses the model's Stop, which sets Cancelled. The window holds no state
// of its own; the model decides when it is shown. It is a top-level window owned
// by (kept above) the main window, not its child, so Stop stays pressable while the
// main window is disabled.
#pragma once

#include <QWidget>

#include "script/progress_model.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace zarnik {

class TProgressForm : public QWidget, public ProgressObserver {
 public:
  static constexpr int kClientWidth = 430;
  static constexpr int kClientHeight = 145;
  // From BlockNameLabel's left to just before Label6 ("File Size").
  static constexpr int kBlockNameWidth = 216 - 67 - 6;

  explicit TProgressForm(ProgressModel& model, QWidget* owner = nullptr);
  ~TProgressForm() override;

  // The splash window sets it from the branding; kept in the model too.
  void SetCaption(const QString& caption);

  void ProgressShown(const ProgressModel& m) override;
  void ProgressStepped(const ProgressModel& m) override;
  void ProgressHidden(const ProgressModel& m) override;
  void PciBoardLabelChanged(const ProgressModel& m) override;

  void CancelButtonClick();

  ProgressModel& Model() { return model_; }

  QProgressBar* FileProgressBar;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* BlockNameLabel;
  QLabel* Label3;
  QLabel* ChecksumLabel;
  QLabel* Label4;
  QLabel* LoadAddressLabel;
  QLabel* Label5;
  QLabel* FilePathLabel;
  QPushButton* CancelButton;
  QLabel* Label6;
  QLabel* FileSizeLabel;
  QLabel* PCINumberLabel;

 protected:
  // The window has no close box; Alt+F4 and the like are refused too.
  void closeEvent(QCloseEvent* e) override;

 private:
  QLabel* AddLabel(int left, int top, const QString& text);
  void CentreOnOwner();
  void KeepAboveOwner();

  ProgressModel& model_;
  QWidget* owner_;
};

}  // namespace zarnik
