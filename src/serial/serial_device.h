// The device under a dispatcher: the few primitives the dispatcher needs of a serial
// line, one implementation per backend (device_posix for ttys and ptys, device_sim for
// the in-memory null modem). MakeSerialDevice picks one by path: "sim:NAME" is a
// simulated null modem where the program links it, anything else a file in /dev.
//
// Error contract: results are 0 (or a count) on success and DeviceFailure(cause) on
// failure (serial_error.h); each backend maps its system's errors there. Open answers
// NotFound / PathNotFound for a device that does not exist, Busy for one another
// program holds, PermissionDenied, NotSerial for something that is no terminal, and
// NoMemory when its wake-up objects cannot be made; SetState answers RateRefused for
// a baud rate the device does not take. A time-out is not an error: a wait that saw
// nothing returns 0 events, a read that found nothing 0 bytes. A device that has gone
// under an open (unplugged, its far end closed) answers Disconnected from WaitEvent
// and every later call that needs the line; it does not come back.
//
// Threading: a device is used by the dispatcher's three threads and the window thread
// at once. WaitEvent belongs to the comm thread and WaitTransmit to the writer thread;
// CancelWaits may be called from any thread and makes both return promptly. Every
// other call is short and safe from any thread, also after Close (it then fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/comm_defs.h"

namespace zarnik {

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  virtual int Open(const std::string& path) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Requested sizes of the driver's receive and transmit queues.
  virtual int Setup(uint32_t inSize, uint32_t outSize) = 0;
  virtual int GetState(TDcb& dcb) = 0;
  virtual int SetState(const TDcb& dcb) = 0;

  // Waits at most timeoutMs for one of the comm events in mask; returns the events
  // seen (0 on time-out or cancel), or a negative error.
  virtual int WaitEvent(uint32_t mask, uint32_t timeoutMs) = 0;
  // Wakes WaitEvent and WaitTransmit; the next waits block normally again.
  virtual void CancelWaits() = 0;

  // Never blocks: the bytes waiting now, up to n.
  virtual int Read(void* buf, size_t n) = 0;
  // Never blocks: hands as many bytes as the driver takes now (0 when none).
  virtual int Write(const void* buf, size_t n) = 0;
  // Bytes handed to the driver that have not left the line yet.
  virtual uint32_t TransmitQueue() = 0;
  // Waits at most maxUs for the transmit queue to shrink or take more bytes.
  virtual void WaitTransmit(uint32_t maxUs) = 0;

  // Error bits accumulated since the last call (and clears them); fills stat.
  virtual uint32_t ClearError(TComStat* stat) = 0;
  virtual int Purge(uint32_t flags) = 0;
  virtual int EscapeFunction(int func) = 0;
  // msCtsOn | msDsrOn | msRingOn | msRlsdOn.
  virtual uint32_t ModemStatus() = 0;
};

std::unique_ptr<SerialDevice> MakeSerialDevice(const std::string& path);

// Makes the device for a path; a port may be given one to wrap or replace the
// standard choice (a transcript that taps the line, a device of a test).
using TDeviceFactory = std::function<std::unique_ptr<SerialDevice>(const std::string& path)>;

// From now on MakeSerialDevice makes the paths that start with prefix by make. The
// simulated null modem registers itself in the programs that link it (its own library),
// so the production libraries carry no simulator.
void AddDeviceBackend(const std::string& prefix, TDeviceFactory make);
// Whether a registered backend makes this path's device (it is then no file).
bool IsBackendDevicePath(const std::string& path);

}  // namespace zarnik
