// A serial device that shows what it moves: every byte written to the line and every
// byte read from it goes to a tap on its way, whoever asked for it (the prompt wait,
// a reply, a flush that drops it afterwards): the transcript, and the unit's last
// answer for the error line of a prompt that did not come.
//
// Threading: the tap is called from the serial layer's threads.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cli/transcript.h"
#include "serial/serial_device.h"

namespace zarnik {

using LineTap = std::function<void(Transcript::Direction, const uint8_t*, size_t)>;

class TappedDevice : public SerialDevice {
 public:
  TappedDevice(std::unique_ptr<SerialDevice> inner, LineTap tap)
      : inner_(std::move(inner)), tap_(std::move(tap)) {}

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
    if (got > 0) tap_(Transcript::Direction::kReceived, static_cast<const uint8_t*>(buf), got);
    return got;
  }
  int Write(const void* buf, size_t n) override {
    int put = inner_->Write(buf, n);
    if (put > 0) tap_(Transcript::Direction::kSent, static_cast<const uint8_t*>(buf), put);
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
  LineTap tap_;
};

// A device factory whose devices show their bytes to the tap.
inline TDeviceFactory TappedDeviceFactory(LineTap tap) {
  return [tap = std::move(tap)](const std::string& path) -> std::unique_ptr<SerialDevice> {
    auto inner = MakeSerialDevice(path);
    if (!inner) return nullptr;
    return std::make_unique<TappedDevice>(std::move(inner), tap);
  };
}

// The last bytes the unit sent, kept to say what it answered instead of a prompt.
class UnitAnswer {
 public:
  void Add(const uint8_t* data, size_t n);
  // Its last line with text in it, other than a lone prompt character ("" for none).
  std::string LastLine() const;

 private:
  static constexpr size_t kKept = 256;
  mutable std::mutex mutex_;
  std::string tail_;
};

}  // namespace zarnik
