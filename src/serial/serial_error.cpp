#include "serial/serial_error.h"

namespace zarnik {

std::string_view SerialErrorMessage(SerialError error) {
  switch (error) {
    case SerialError::None: return "Success";
    case SerialError::NotFound: return "No such file or directory";
    case SerialError::PathNotFound: return "Not a directory";
    case SerialError::PermissionDenied: return "Permission denied";
    case SerialError::Busy: return "Device or resource busy";
    case SerialError::NotSerial: return "Inappropriate ioctl for device";
    case SerialError::RateRefused:
    case SerialError::BadSetting: return "Invalid argument";
    case SerialError::NoMemory: return "Out of memory";
    case SerialError::NotOpen: return "Bad file descriptor";
    case SerialError::Disconnected: return "The device was disconnected.";
    case SerialError::Io: break;
  }
  return "Input/output error";
}

}  // namespace zarnik
