// Why a device call failed. Each backend maps its system's errors to these once, at
// its own boundary (device_posix: errno; device_sim: its own states); everything above
// the device speaks only this. The port component turns a cause into its exception
// (serial_exceptions.h), which carries the cause on: ESerialException::Cause().
//
// Device calls return an int: 0 or a count on success, DeviceFailure(cause) on
// failure. Those values lie in their own band, apart from the dispatcher's ec codes,
// so the two can travel through one result without being mistaken for each other.
#pragma once

#include <string_view>

namespace zarnik {

enum class SerialError : int {
  None = 0,
  NotFound = 100,    // no such device, or no hardware behind the node
  PathNotFound,      // a part of the path is not a directory
  PermissionDenied,  // the user may not open it (EACCES, EPERM, a read-only file system)
  Busy,              // another program holds it (locked, exclusive)
  NotSerial,         // opens, but is no terminal: a regular file, /dev/null, a directory
  RateRefused,       // the device does not take this baud rate
  BadSetting,        // the device does not take another line setting
  NoMemory,          // no memory or descriptors for the device's objects
  NotOpen,           // a call on a device that is not open
  Disconnected,      // the device went away under the open port; it does not come back
  Io,                // any other failure of the device
};

// The fixed text of a cause (the system's wording for the error behind it).
std::string_view SerialErrorMessage(SerialError error);

constexpr int DeviceFailure(SerialError error) { return -static_cast<int>(error); }

// The cause of a device result; None for success and for results that are no device
// failure (a dispatcher code).
constexpr SerialError DeviceCause(int result) {
  if (result > -static_cast<int>(SerialError::NotFound) ||
      result < -static_cast<int>(SerialError::Io))
    return SerialError::None;
  return static_cast<SerialError>(-result);
}

}  // namespace zarnik
