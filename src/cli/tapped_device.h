// A serial device that records what it moves: every byte written to the line and
// every byte read from it goes to a transcript on its way, whoever asked for it
// (the prompt wait, a reply, a flush that drops it afterwards).
#pragma once

#include <functional>
#include <memory>

#include "cli/transcript.h"
#include "serial/serial_device.h"

namespace zarnik {

class TappedDevice : public SerialDevice {
 public:
  TappedDevice(std::unique_ptr<SerialDevice> inner, Transcript& transcript)
      : inner_(std::move(inner)), transcript_(transcript) {}

  int Open(const std::string& path) override { return inner_->Open(path); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  int Setup(uint32_t inSize, uint32_t outSize) override { return inner_->Setup(inSize, outSize); }
  int GetState(TDcb& dcb) override { return inner_->GetState(dcb); }
  int SetState(const TDcb& dcb) override { return inner_->SetState(dcb); }
  int WaitEvent(uint32_t mask, uint32_t timeoutMs) override {
    return inner_->WaitEvent(mask, timeoutMs);
  }
  void CancelWaits() override { inner_->CancelWaits(); }
  int Read(void* buf, size_t n) override {
    int got = inner_->Read(buf, n);
    if (got > 0)
      transcript_.Record(Transcript::Direction::kReceived, static_cast<const uint8_t*>(buf), got);
    return got;
  }
  int Write(const void* buf, size_t n) override {
    int put = inner_->Write(buf, n);
    if (put > 0)
      transcript_.Record(Transcript::Direction::kSent, static_cast<const uint8_t*>(buf), put);
    return put;
  }
  uint32_t TransmitQueue() override { return inner_->TransmitQueue(); }
  void WaitTransmit(uint32_t maxUs) override { inner_->WaitTransmit(maxUs); }
  uint32_t ClearError(TComStat* stat) override { return inner_->ClearError(stat); }
  int Purge(uint32_t flags) override { return inner_->Purge(flags); }
  int EscapeFunction(int func) override { return inner_->EscapeFunction(func); }
  uint32_t ModemStatus() override { return inner_->ModemStatus(); }

 private:
  std::unique_ptr<SerialDevice> inner_;
  Transcript& transcript_;
};

// A device factory whose devices record into the transcript.
inline TDeviceFactory TappedDeviceFactory(Transcript& transcript) {
  return [&transcript](const std::string& path) -> std::unique_ptr<SerialDevice> {
    auto inner = MakeSerialDevice(path);
    if (!inner) return nullptr;
    return std::make_unique<TappedDevice>(std::move(inner), transcript);
  };
}

}  // namespace zarnik
