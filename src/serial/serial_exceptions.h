// The serial layer's exception family. Every dispatcher result below zero becomes
// one of these, carrying the code; the messages are the layer's own fixed texts.
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
  ESerialException(int errorCode, const std::string& message)
      : std::runtime_error(message), errorCode_(errorCode) {}
  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

#define ZARNIK_SERIAL_EXCEPTION(Name, code, text)              \
  class Name : public ESerialException {                       \
   public:                                                     \
    Name() : ESerialException(code, text) {}                   \
  };

ZARNIK_SERIAL_EXCEPTION(EBadArgument, ecBadArgument, "Bad argument passed to function")
ZARNIK_SERIAL_EXCEPTION(EPortNotAssigned, ecPortNotAssigned, "Port not assigned")
ZARNIK_SERIAL_EXCEPTION(EBadId, ecBadId, "ie_BadId - Specified comport doesn't exist")
ZARNIK_SERIAL_EXCEPTION(ECommNotOpen, ecCommNotOpen, "ie_NOpen - device not open")
ZARNIK_SERIAL_EXCEPTION(EAlreadyOpen, ecAlreadyOpen, "ie_Open - device already open")
ZARNIK_SERIAL_EXCEPTION(ENoPortSelected, ecNoPortSelected,
                        "The ComNumber property of the TComPort has not been set")
ZARNIK_SERIAL_EXCEPTION(EOutputBufferTooSmall, ecOutputBufferTooSmall,
                        "Output buffer too small for block")
ZARNIK_SERIAL_EXCEPTION(EBufferIsEmpty, ecBufferIsEmpty, "Buffer is empty")
ZARNIK_SERIAL_EXCEPTION(ENoMoreTriggers, ecNoMoreTriggers, "No more trigger slots")
ZARNIK_SERIAL_EXCEPTION(EBadTriggerHandle, ecBadTriggerHandle, "Bad trigger handle")
ZARNIK_SERIAL_EXCEPTION(EOutOfMemory, ecOutOfMemory, "Out of memory")
#undef ZARNIK_SERIAL_EXCEPTION

// Any other device failure: the positive system error code and its text.
class EInOutError : public ESerialException {
 public:
  EInOutError(int code, const std::string& message) : ESerialException(code, message) {}
};

// The device under an open port went away (deNotConnected): it names the device
// the port was opened on.
class EPortDisconnected : public ESerialException {
 public:
  explicit EPortDisconnected(const std::string& device)
      : ESerialException(deNotConnected,
                         (device.empty() ? "The device" : device) + " was disconnected."),
        device_(device) {}
  const std::string& Device() const { return device_; }

 private:
  std::string device_;
};

// Throws the exception that matches a negative dispatcher result; passes 0 and
// positive results through.
int CheckException(int result);

}  // namespace zarnik
