// The progress window without its toolkit: what the operator sees while a file's
// data goes out, and the program-wide stop flag.
//
// How it works: the file transfer shows the model with the number of whole blocks
// and the file's details, steps it once per block sent and hides it at the end.
// Front ends draw it through ProgressObserver (a terminal bar in zarnik-cli, the
// TProgressForm window in the GUI); the model itself draws nothing and only
// services the message queue where the window would be redrawn. `Cancelled` lives
// here because the Stop button is here; the command channel holds a reference to
// it, so construct the model first and hand `Cancelled` to the channel.
//
// Threading: window thread only, like every window. A front end that learns of a
// stop on another thread (a signal handler) must post it to the window thread and
// call Stop() there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace zarnik {

class ProgressModel;

// Hooks for whoever draws the progress. Each is called after the model changed.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  virtual void ProgressShown(const ProgressModel&) {}
  virtual void ProgressStepped(const ProgressModel&) {}
  virtual void ProgressHidden(const ProgressModel&) {}
  virtual void PciBoardLabelChanged(const ProgressModel&) {}
  virtual void StopPressed(const ProgressModel&) {}
};

// The main window's file-load fields that the labels show.
struct ProgressFile {
  std::string_view uploadFileName;
  int32_t fileChecksum = 0;
  std::string_view loadAddress;
  int32_t fileSize = 0;
};

class ProgressModel {
 public:
  static constexpr const char* kDesignCaption = "Halvern Inc. :- File Upload Progress";

  explicit ProgressModel(Host& host) : host_(host) {}

  // Shows the window with the file's labels; the bar's maximum is `blocks`, or 1
  // when blocks is 0 or less. Services the queue so it is drawn.
  void ShowProgressForm(int blocks, const ProgressFile& file);
  // Bar back to 0, window hidden, queue serviced.
  void HideProgressForm();
  // The bar's step (1), stopping at its maximum.
  void StepIt();
  // "PCI Board :  <id>", shown; or hidden on RS-232.
  void ShowPciBoardLabel(int selectedBoard);
  void HidePciBoardLabel();
  // The Stop button: sets Cancelled and tells the observers (the script engine
  // ends the link's prompt waits through this). Every stop comes this way; setting
  // Cancelled directly is for failures. Pressing it twice is the same as once.
  void CancelButtonClick();
  void Stop() { CancelButtonClick(); }

  void AddObserver(ProgressObserver* observer);
  void RemoveObserver(ProgressObserver* observer);

  // The stop flag: set by Stop, send failures, the command time-out and a missing
  // prompt after a file's data; cleared only when the operator starts a run.
  bool Cancelled = false;
  // Window caption; the splash window sets it from the branding.
  std::string Caption = kDesignCaption;

  // ---- What the window shows ----
  bool Visible() const { return visible_; }
  int Position() const { return position_; }  // FileProgressBar
  int Max() const { return max_; }
  const std::string& BlockNameLabel() const { return blockName_; }
  const std::string& ChecksumLabel() const { return checksum_; }      // upper-case hex
  const std::string& LoadAddressLabel() const { return loadAddress_; }
  const std::string& FileSizeLabel() const { return fileSize_; }      // decimal
  const std::string& PCINumberLabel() const { return pciNumber_; }
  bool PCINumberVisible() const { return pciVisible_; }
  int32_t FileSize() const { return fileSizeValue_; }
  int32_t FileChecksum() const { return checksumValue_; }

 private:
  template <typename Hook>
  void Notify(Hook hook);

  Host& host_;
  std::vector<ProgressObserver*> observers_;
  bool visible_ = false;
  int position_ = 0;
  int max_ = 100;
  std::string blockName_, checksum_, loadAddress_, fileSize_;
  std::string pciNumber_ = "PCI Board :  ";
  bool pciVisible_ = false;
  int32_t fileSizeValue_ = 0;
  int32_t checksumValue_ = 0;
};

}  // namespace zarnik
