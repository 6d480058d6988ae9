// The command channel's view of a PCI board: the BoardPort over one PciBoard record,
// re-pointed when another board is selected (a run per board).
#pragma once

#include "link/board_port.h"
#include "pci/pci_device.h"

namespace zarnik {

class PciBoardPort : public BoardPort {
 public:
  void Select(PciBoard* board) { board_ = board; }
  PciBoard* Selected() const { return board_; }

  // Without a board every byte is refused and nothing arrives.
  int PutByte(uint8_t b) override { return board_ ? board_->PutByte(b) : 1; }
  int PutText(const char* text) override { return board_ ? board_->PutText(text) : 1; }
  int GetByte(uint8_t* b) override { return board_ ? board_->GetByte(b) : 1; }
  void ResetReceive() override {
    if (board_) board_->ResetReceive();
  }

 private:
  PciBoard* board_ = nullptr;
};

}  // namespace zarnik
