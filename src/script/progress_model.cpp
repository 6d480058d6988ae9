#include "script/progress_model.h"

#include <algorithm>
#include <cstdio>

namespace zarnik {

template <typename Hook>
void ProgressModel::Notify(Hook hook) {
  // A copy: an observer may remove itself from inside its hook.
  auto observers = observers_;
  for (ProgressObserver* o : observers) (o->*hook)(*this);
}

void ProgressModel::AddObserver(ProgressObserver* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
    observers_.push_back(observer);
}

void ProgressModel::RemoveObserver(ProgressObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void ProgressModel::ShowProgressForm(int blocks, const ProgressFile& file) {
  visible_ = true;
  blockName_ = std::string(file.uploadFileName);
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(file.fileChecksum));
  checksum_ = text;
  checksumValue_ = file.fileChecksum;
  loadAddress_ = std::string(file.loadAddress);
  fileSize_ = std::to_string(file.fileSize);
  fileSizeValue_ = file.fileSize;
  max_ = blocks > 0 ? blocks : 1;
  position_ = std::min(position_, max_);
  Notify(&ProgressObserver::ProgressShown);
  host_.ProcessMessages();
}

void ProgressModel::HideProgressForm() {
  position_ = 0;
  visible_ = false;
  Notify(&ProgressObserver::ProgressHidden);
  host_.ProcessMessages();
}

void ProgressModel::StepIt() {
  position_ = std::min(position_ + 1, max_);
  Notify(&ProgressObserver::ProgressStepped);
}

void ProgressModel::ShowPciBoardLabel(int selectedBoard) {
  pciNumber_ = "PCI Board :  " + std::to_string(selectedBoard);
  pciVisible_ = true;
  Notify(&ProgressObserver::PciBoardLabelChanged);
}

void ProgressModel::HidePciBoardLabel() {
  pciVisible_ = false;
  Notify(&ProgressObserver::PciBoardLabelChanged);
}

void ProgressModel::CancelButtonClick() {
  Cancelled = true;
  Notify(&ProgressObserver::StopPressed);
}

}  // namespace zarnik
