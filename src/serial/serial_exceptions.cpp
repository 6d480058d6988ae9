#include "serial/serial_exceptions.h"

#include <cstring>

namespace zarnik {

int CheckException(int result) {
  if (result >= 0) return result;
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
    case deNotConnected: throw EPortDisconnected("");
    default: throw EInOutError(-result, std::strerror(-result));
  }
}

}  // namespace zarnik
