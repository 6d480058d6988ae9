#include "pci/pci_link.h"

#include <algorithm>
#include <cstdio>

#include "platform/host.h"
#include "platform/link_mode.h"
#include "platform/shell_view.h"
#include "serial/port_contract.h"
#include "serial/serial_exceptions.h"

namespace zarnik {

namespace {

std::string Format(const char* format, int value) {
  char text[300];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
}  // namespace

PciLink::PciLink(Host& host, ShellView& view, PortContract& comPort1, int& linkMode)
    : host_(host), view_(view), comPort1_(comPort1), linkMode_(linkMode) {
  OpenStatus.fill(1);
  BoardIndexById.fill(-1);
}

void PciLink::DisableLink() {
  view_.SetPciConnectEnabled(false);
  linkMode_ = kLinkRs232;
}

void PciLink::ScanBoards(std::unique_ptr<PciDriver> driver, std::ostream& diagnostics) {
  devices_ = std::make_unique<PciDeviceLayer>(host_, std::move(driver), diagnostics);
  bool found = false;
  for (int index = 0; index < kPciDevices; ++index) {
    uint32_t data = 0, aux = 0, status = 0, id = 0;
    OpenStatus[index] = devices_->OpenBoard(index, data, aux, status, id);
    if (OpenStatus[index] != 0) continue;
    found = true;
    devices_->PciBoards[index].Init(index, data, aux, status, id);
  }
  if (!found) {
    DisableLink();
    return;
  }
  linkMode_ = kLinkPci;
  for (int index = 0; index < kPciDevices; ++index) {
    if (OpenStatus[index] != 0) continue;
    uint8_t raw = 0;
    // An ID that cannot be read is as bad as one out of range; it shows as -1.
    const int boardId =
        devices_->PciBoards[index].ReadBoardId(&raw) == 0 ? static_cast<int8_t>(raw) : -1;
    if (boardId < 0 || boardId >= kPciBoardIds) {
      DisableLink();
      host_.ShowMessage(Format(msg::kInvalidBoardId, boardId));
      continue;
    }
    if (BoardIndexById[boardId] == -1) {
      BoardIndexById[boardId] = index;
    } else {
      DisableLink();
      host_.ShowMessage(Format(msg::kDuplicateBoardId, boardId));
    }
  }
  auto first =
      std::find_if(BoardIndexById.begin(), BoardIndexById.end(), [](int32_t i) { return i != -1; });
  SelectedBoard = static_cast<int32_t>(first - BoardIndexById.begin());
}

bool PciLink::BoardsFound() const {
  return std::find(OpenStatus.begin(), OpenStatus.end(), 0) != OpenStatus.end();
}

PciBoard* PciLink::BoardById(int boardId) {
  if (!devices_ || boardId < 0 || boardId >= kPciBoardIds) return nullptr;
  const int index = BoardIndexById[boardId];
  return index < 0 ? nullptr : &devices_->PciBoards[index];
}

void PciLink::PCIConnectClick() {
  if (!view_.PciConnectEnabled()) return;
  if (view_.PciConnectChecked()) {
    view_.Terminal().SetVisible(true);
    view_.SetRs232GroupVisible(true);
    linkMode_ = kLinkRs232;
    view_.SetPciConnectChecked(false);
    host_.SetStatusText(msg::kNotConnected);
    return;
  }
  try {
    comPort1_.SetOpen(false);
  } catch (const ESerialException&) {
    // Closing a port that failed under us leaves it closed all the same.
  }
  view_.Terminal().ClearAll();
  view_.Terminal().SetVisible(false);
  view_.SetRs232GroupVisible(false);
  comPort1_.SetComNumber(0);
  view_.SetComNumberLabel(msg::kNoComNumber);
  linkMode_ = kLinkPci;
  view_.SetPciConnectChecked(true);
  host_.SetStatusText(msg::kPciEstablished);
}

}  // namespace zarnik
