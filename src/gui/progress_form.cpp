#include "gui/progress_form.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "gui/fonts.h"

namespace zarnik {

namespace {
QString Text(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}
}  // namespace

TProgressForm::TProgressForm(ProgressModel& model, QWidget* owner)
    // A window of its own (not a child of the main window, whose disabling in
    // automatic mode would take Stop with it), a tool window with a title and no
    // border icons: the operator cannot close it.
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      model_(model),
      owner_(owner) {
  setObjectName("ProgressForm");
  setFixedSize(kClientWidth, kClientHeight);
  setFont(PixelFont(kTitleFontFamily, 11));
  setWindowTitle(Text(model_.Caption));

  FileProgressBar = new QProgressBar(this);
  FileProgressBar->setObjectName("FileProgressBar");
  FileProgressBar->setGeometry(8, 40, 417, 25);
  FileProgressBar->setRange(0, 100);
  FileProgressBar->setValue(0);
  FileProgressBar->setTextVisible(false);

  Label1 = AddLabel(144, 0, "TRANSFER STATUS ");
  Label1->setFont(PixelFont(kTitleFontFamily, 15));
  Label1->adjustSize();
  Label2 = AddLabel(8, 80, "File Name : ");
  BlockNameLabel = AddLabel(67, 80, "");
  BlockNameLabel->setObjectName("BlockNameLabel");
  Label3 = AddLabel(8, 104, "Checksum :");
  ChecksumLabel = AddLabel(67, 104, "");
  ChecksumLabel->setObjectName("ChecksumLabel");
  Label4 = AddLabel(216, 104, "Load Address :");
  LoadAddressLabel = AddLabel(291, 104, "");
  LoadAddressLabel->setObjectName("LoadAddressLabel");
  Label5 = AddLabel(8, 16, "File Path :");
  Label5->hide();
  FilePathLabel = AddLabel(83, 17, "");
  FilePathLabel->resize(406, FilePathLabel->height());
  FilePathLabel->hide();
  Label6 = AddLabel(216, 80, "File Size");
  FileSizeLabel = AddLabel(291, 80, "");
  FileSizeLabel->setObjectName("FileSizeLabel");
  PCINumberLabel = AddLabel(216, 128, Text(model_.PCINumberLabel()));
  PCINumberLabel->setObjectName("PCINumberLabel");
  PCINumberLabel->hide();

  CancelButton = new QPushButton("Stop", this);
  CancelButton->setObjectName("CancelButton");
  CancelButton->setGeometry(376, 115, 49, 25);
  QObject::connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

  model_.AddObserver(this);
  KeepAboveOwner();
}

TProgressForm::~TProgressForm() {
  model_.RemoveObserver(this);
}

QLabel* TProgressForm::AddLabel(int left, int top, const QString& text) {
  auto* label = new QLabel(text, this);
  label->move(left, top);
  label->adjustSize();
  return label;
}

void TProgressForm::SetCaption(const QString& caption) {
  model_.Caption = caption.toLocal8Bit().toStdString();
  setWindowTitle(caption);
}

void TProgressForm::KeepAboveOwner() {
  if (!owner_) return;
  // Owned: the window system keeps it above the main window.
  QWidget* top = owner_->window();
  top->winId();
  winId();
  windowHandle()->setTransientParent(top->windowHandle());
}

void TProgressForm::CentreOnOwner() {
  QRect area = owner_ && owner_->isVisible()
                   ? owner_->frameGeometry()
                   : (screen() ? screen()->availableGeometry() : QRect(0, 0, 1024, 768));
  move(area.center() - rect().center());
}

void TProgressForm::ProgressShown(const ProgressModel& m) {
  auto set = [](QLabel* label, const std::string& text) {
    label->setText(Text(text));
    label->adjustSize();
  };
  // A long path would run into "File Size": the label shows its end, which names
  // the file, and the whole path as its tool tip.
  const QString path = Text(m.BlockNameLabel());
  BlockNameLabel->setToolTip(path);
  BlockNameLabel->setText(
      BlockNameLabel->fontMetrics().elidedText(path, Qt::ElideLeft, kBlockNameWidth));
  BlockNameLabel->adjustSize();
  set(ChecksumLabel, m.ChecksumLabel());
  set(LoadAddressLabel, m.LoadAddressLabel());
  set(FileSizeLabel, m.FileSizeLabel());
  FileProgressBar->setMaximum(m.Max());
  FileProgressBar->setValue(m.Position());
  setWindowTitle(Text(m.Caption));
  if (!isVisible()) {
    KeepAboveOwner();
    CentreOnOwner();
    show();
  }
  // Shown modeless and on top of the main window; the script goes on meanwhile.
  raise();
}

void TProgressForm::ProgressStepped(const ProgressModel& m) {
  FileProgressBar->setValue(m.Position());
}

void TProgressForm::ProgressHidden(const ProgressModel& m) {
  FileProgressBar->setValue(m.Position());
  hide();
}

void TProgressForm::PciBoardLabelChanged(const ProgressModel& m) {
  PCINumberLabel->setText(Text(m.PCINumberLabel()));
  PCINumberLabel->adjustSize();
  PCINumberLabel->setVisible(m.PCINumberVisible());
}

void TProgressForm::CancelButtonClick() {
  model_.CancelButtonClick();
}

void TProgressForm::closeEvent(QCloseEvent* e) {
  e->ignore();
}

}  // namespace zarnik
