// The serial layer's exception family. Every dispatcher result below zero becomes
// one of these, carrying the code; the messages are the layer's own fixed texts.
// A failure of the device also carries its cause (SerialError): a caller that must
// tell a port held by another program from one it may not open, or a refused baud
// rate, reads Cause() rather than the class or the text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "serial/comm_defs.h"

namespace zarnik {

// Dispatcher result codes.
inline constexpr int ecOK = 0;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecPortNotAssigned = -1005;
inline constexpr int ecBadId = -2001;
inline constexpr int ecCommNotOpen = -2007;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoPortSelected = -2011;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;
inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecBadTriggerHandle = -5003;
inline constexpr int ecOutOfMemory = -8;

class ESerialException : public std::runtime_error {
 public:
  ESerialException(int errorCode, const std::string& message,
                   SerialError cause = SerialError::None)
      : std::runtime_error(message), errorCode_(errorCode), cause_(cause) {}
  int ErrorCode() const { return errorCode_; }
  // The device's reason, or None for a failure of the layer itself.
  SerialError Cause() const { return cause_; }

 private:
  int errorCode_;
  SerialError cause_;
};

#define ZARNIK_SERIAL_EXCEPTION(Name, code, text, cause)       \
  class Name : public ESerialException {                       \
   public:                                                     \
    Name() : ESerialException(code, text, cause) {}            \
  };

ZARNIK_SERIAL_EXCEPTION(EBadArgument, ecBadArgument, "Bad argument passed to function",
                        SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EPortNotAssigned, ecPortNotAssigned, "Port not assigned",
                        SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EBadId, ecBadId, "ie_BadId - Specified comport doesn't exist",
                        SerialError::NotFound)
ZARNIK_SERIAL_EXCEPTION(ECommNotOpen, ecCommNotOpen, "ie_NOpen - device not open",
                        SerialError::NotOpen)
ZARNIK_SERIAL_EXCEPTION(EAlreadyOpen, ecAlreadyOpen, "ie_Open - device already open",
                        SerialError::Busy)
ZARNIK_SERIAL_EXCEPTION(ENoPortSelected, ecNoPortSelected,
                        "The ComNumber property of the TComPort has not been set",
                        SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EOutputBufferTooSmall, ecOutputBufferTooSmall,
                        "Output buffer too small for block", SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EBufferIsEmpty, ecBufferIsEmpty, "Buffer is empty", SerialError::None)
ZARNIK_SERIAL_EXCEPTION(ENoMoreTriggers, ecNoMoreTriggers, "No more trigger slots",
                        SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EBadTriggerHandle, ecBadTriggerHandle, "Bad trigger handle",
                        SerialError::None)
ZARNIK_SERIAL_EXCEPTION(EOutOfMemory, ecOutOfMemory, "Out of memory", SerialError::NoMemory)
#undef ZARNIK_SERIAL_EXCEPTION

// Any other device failure (no access, not a terminal, a setting refused, ...): its
// code is the device result, its text SerialErrorMessage's.
class EInOutError : public ESerialException {
 public:
  explicit EInOutError(SerialError cause)
      : ESerialException(DeviceFailure(cause), std::string(SerialErrorMessage(cause)), cause) {}
};

// The device under an open port went away (deNotConnected): it names the device
// the port was opened on.
class EPortDisconnected : public ESerialException {
 public:
  explicit EPortDisconnected(const std::string& device)
      : ESerialException(deNotConnected,
                         (device.empty() ? "The device" : device) + " was disconnected.",
                         SerialError::Disconnected),
        device_(device) {}
  const std::string& Device() const { return device_; }

 private:
  std::string device_;
};

// Throws the exception that matches a negative dispatcher or device result (a device
// that does not exist: EBadId, one another program holds: EAlreadyOpen); passes 0 and
// positive results through.
int CheckException(int result);

}  // namespace zarnik
