#include "serial/serial_exceptions.h"

namespace zarnik {

int CheckException(int result) {
  if (result >= 0) return result;
  switch (SerialError cause = DeviceCause(result)) {
    case SerialError::None: break;
    case SerialError::NotFound:
    case SerialError::PathNotFound: throw EBadId();
    case SerialError::Busy: throw EAlreadyOpen();
    case SerialError::NoMemory: throw EOutOfMemory();
    case SerialError::Disconnected: throw EPortDisconnected("");
    default: throw EInOutError(cause);
  }
  switch (result) {
    case ecBadArgument: throw EBadArgument();
    case ecPortNotAssigned: throw EPortNotAssigned();
    case ecBadId: throw EBadId();
    case ecCommNotOpen: throw ECommNotOpen();
    case ecAlreadyOpen: throw EAlreadyOpen();
    case ecNoPortSelected: throw ENoPortSelected();
    case ecOutputBufferTooSmall: throw EOutputBufferTooSmall();
    case ecBufferIsEmpty: throw EBufferIsEmpty();
    case ecNoMoreTriggers: throw ENoMoreTriggers();
    case ecBadTriggerHandle: throw EBadTriggerHandle();
    case ecOutOfMemory: throw EOutOfMemory();
    default: throw EInOutError(SerialError::Io);
  }
}

}  // namespace zarnik
