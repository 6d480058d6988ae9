// TDeviceDispatcher: the dispatcher whose device primitives go to a SerialDevice,
// chosen by the device name at OpenCom (MakeSerialDevice: "sim:NAME" or a /dev path).
//
// Threading: as TBaseDispatcher. The device object lives as long as the dispatcher,
// so a thread that still touches it after CloseCom gets a clean failure.
#pragma once

#include <memory>

#include "serial/dispatcher.h"
#include "serial/serial_device.h"

namespace zarnik {

class TDeviceDispatcher : public TBaseDispatcher {
 public:
  explicit TDeviceDispatcher(Host* host, TDeviceFactory factory = nullptr)
      : TBaseDispatcher(host), factory_(std::move(factory)) {}
  ~TDeviceDispatcher() override;

  int EscapeComFunction(int func) override;
  int FlushCom(uint32_t purgeFlags) override;
  int GetComState(TDcb& dcb) override;
  int ReadCom(void* buf, size_t n) override;
  int SetComState(const TDcb& dcb) override;
  int WaitComEvent(uint32_t mask, uint32_t timeoutMs) override;
  int SetupCom(uint32_t inSize, uint32_t outSize) override;
  int OpenCom(const std::string& name, uint32_t inSize, uint32_t outSize) override;
  void CloseCom() override;

  SerialDevice* Device() const { return device_.get(); }

 protected:
  uint32_t DeviceClearError(TComStat* stat) override;
  int DeviceWrite(const void* buf, size_t n) override;
  uint32_t DeviceTransmitQueue() override;
  void DeviceWaitTransmit(uint32_t maxUs) override;
  void DeviceCancelWaits() override;
  uint32_t DeviceModemStatus() override;

 private:
  TDeviceFactory factory_;
  std::unique_ptr<SerialDevice> device_;
};

}  // namespace zarnik
