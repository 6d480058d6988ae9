#include "serial/device_dispatcher.h"

namespace zarnik {

TDeviceDispatcher::~TDeviceDispatcher() { Shutdown(); }

int TDeviceDispatcher::OpenCom(const std::string& name, uint32_t, uint32_t) {
  if (deviceOpen_) return DeviceFailure(SerialError::Busy);
  if (!device_ || ThreadCount() == 0) device_ = factory_ ? factory_(name) : MakeSerialDevice(name);
  if (!device_) return DeviceFailure(SerialError::NotFound);
  int r = device_->Open(name);
  if (r == 0) deviceOpen_ = true;
  return r;
}

void TDeviceDispatcher::CloseCom() {
  if (ThreadsActive()) {
    // The waiting threads must be out of the device before its descriptor goes.
    StopWorkers();
  }
  if (device_) device_->Close();
  deviceOpen_ = false;
}

int TDeviceDispatcher::EscapeComFunction(int func) {
  if (device_) device_->EscapeFunction(func);
  return 0;
}

int TDeviceDispatcher::FlushCom(uint32_t purgeFlags) {
  return device_ ? device_->Purge(purgeFlags) : DeviceFailure(SerialError::NotOpen);
}

int TDeviceDispatcher::GetComState(TDcb& dcb) {
  if (!device_ || device_->GetState(dcb) != 0) return -1;
  return 0;
}

int TDeviceDispatcher::ReadCom(void* buf, size_t n) {
  if (!device_) return 0;
  int r = device_->Read(buf, n);
  return r < 0 ? 0 : r;  // a failed read counts as no data
}

int TDeviceDispatcher::SetComState(const TDcb& dcb) {
  return device_ ? device_->SetState(dcb) : DeviceFailure(SerialError::NotOpen);
}

int TDeviceDispatcher::WaitComEvent(uint32_t mask, uint32_t timeoutMs) {
  return device_ ? device_->WaitEvent(mask, timeoutMs) : DeviceFailure(SerialError::NotOpen);
}

int TDeviceDispatcher::SetupCom(uint32_t inSize, uint32_t outSize) {
  return device_ ? device_->Setup(inSize, outSize) : DeviceFailure(SerialError::NotOpen);
}

uint32_t TDeviceDispatcher::DeviceClearError(TComStat* stat) {
  return device_ ? device_->ClearError(stat) : 0;
}

int TDeviceDispatcher::DeviceWrite(const void* buf, size_t n) {
  return device_ ? device_->Write(buf, n) : DeviceFailure(SerialError::NotOpen);
}

uint32_t TDeviceDispatcher::DeviceTransmitQueue() {
  return device_ ? device_->TransmitQueue() : 0;
}

void TDeviceDispatcher::DeviceWaitTransmit(uint32_t maxUs) {
  if (device_) device_->WaitTransmit(maxUs);
}

void TDeviceDispatcher::DeviceCancelWaits() {
  if (device_) device_->CancelWaits();
}

uint32_t TDeviceDispatcher::DeviceModemStatus() {
  return device_ ? device_->ModemStatus() : 0;
}

}  // namespace zarnik
