// A serial device that shows what it moves: every byte written to the line and every
// byte read from it goes to a tap on its way, whoever asked for it (the prompt wait,
// a reply, a flush that drops it afterwards): the transcript, and the unit's last
// answer for the error line of a prompt that did not come. The same for the PCI
// boards: a board driver that records the bytes of each board's mailbox.
//
// Threading: the serial device's tap is called from the serial layer's threads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/transcript.h"
#include "pci/pci_driver.h"
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

// What is written to a board's data register went to its unit, what is read from it
// came from the unit (the device layer reads it only when a byte waits). The link
// moves a byte a request, so the bytes of one direction on one board are gathered
// to a transcript line of up to 64, stamped with the first byte's time.
class TappedPciDriver : public PciDriver {
 public:
  TappedPciDriver(std::unique_ptr<PciDriver> inner, Transcript& transcript)
      : inner_(std::move(inner)), transcript_(transcript) {}
  ~TappedPciDriver() override { Flush(); }

  std::string DevicePath(int index) const override { return inner_->DevicePath(index); }
  int Open(const std::string& path, bool shared, PciHandle& handle) override {
    return inner_->Open(path, shared, handle);
  }
  int Control(PciHandle handle, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
              size_t outSize, size_t& returned) override {
    // Read before the request: in and out are one buffer.
    const bool command = code == kPciCommandCode && in && inSize == kCommandRequestSize;
    const CommandRequest request = command ? DecodeCommand(in) : CommandRequest{};
    const int error = inner_->Control(handle, code, in, inSize, out, outSize, returned);
    if (error != 0) return error;
    if (code == kPciConfigCode && returned >= kConfigReplySize) {
      dataReg_[handle] = DecodeConfig(out).dataReg;
    } else if (command && returned >= kCommandRequestSize) {
      auto data = dataReg_.find(handle);
      if (data == dataReg_.end() || request.address != data->second) return 0;
      if (request.command == kCmdWriteByte)
        Add(Transcript::Direction::kSent, handle, static_cast<uint8_t>(request.value));
      else if (request.command == kCmdReadByte)
        Add(Transcript::Direction::kReceived, handle,
            static_cast<uint8_t>(DecodeCommand(out).value));
    }
    return 0;
  }
  // A note in the transcript, after the bytes gathered so far.
  void Note(const std::string& text) {
    Flush();
    transcript_.Note(text);
  }

 private:
  void Add(Transcript::Direction dir, PciHandle handle, uint8_t byte) {
    if (!pending_.empty() && (dir != dir_ || handle != handle_ || pending_.size() >= 64)) Flush();
    if (pending_.empty()) since_ = transcript_.Now();
    dir_ = dir;
    handle_ = handle;
    pending_.push_back(byte);
  }
  void Flush() {
    transcript_.Record(dir_, pending_.data(), pending_.size(), since_);
    pending_.clear();
  }

  std::unique_ptr<PciDriver> inner_;
  Transcript& transcript_;
  std::map<PciHandle, uint32_t> dataReg_;  // from each board's configuration
  std::vector<uint8_t> pending_;
  Transcript::Direction dir_ = Transcript::Direction::kSent;
  PciHandle handle_ = kInvalidPciHandle;
  double since_ = 0;
};

}  // namespace zarnik
