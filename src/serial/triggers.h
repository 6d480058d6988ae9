// Triggers: the conditions under which a dispatcher sends notices. Every trigger has
// a 16-bit handle, a multiple of 8: the n-th handle handed out since the list was last
// cleared is 8 x n (n up to 4095); after that the lowest free multiple of 8 up to 4096
// is reused, and when none is free the add fails (ecNoMoreTriggers). Status triggers
// carry their kind (1..5) in the low three bits of the handle; handle 1 stands for the
// data-available rule itself.
//
// Threading: a TTriggerList is plain data; the dispatcher guards it with its StateLock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ticks.h"

namespace zarnik {

enum TStatusKind : uint16_t {
  stModem = 1,
  stLineError = 2,
  stOutbuffFree = 3,
  stOutbuffUsed = 4,
  stOutSent = 5,
};

inline constexpr uint16_t kAvailTriggerHandle = 1;
inline constexpr uint16_t kMaxHandleCount = 4095;

struct TTimerTrigger {
  uint16_t handle = 0;
  bool active = false;
  TTickTimer timer;
};

struct TStatusTrigger {
  uint16_t handle = 0;
  uint16_t kind = 0;
  bool armed = false;
  bool fired = false;     // fired in this round of the dispatcher thread
  uint16_t value = 0;     // mask, limit or count, by kind
  uint8_t levels = 0;     // modem levels recorded when armed (kind 1)
};

struct TDataTrigger {
  uint16_t handle = 0;
  std::string text;
  bool ignoreCase = false;
  size_t matched = 0;  // characters of text matched so far
};

// How much of pattern stands matched after one more byte c, given `matched`
// characters matched before it: the longest prefix of pattern that ends what was
// matched plus c, so that a mismatch restarts inside the text ("aab" in "aaab").
// Pattern and byte come normalised (upper case for a case-blind match).
size_t AdvanceMatch(std::string_view pattern, size_t matched, char c);

// Everything a port keeps of its triggers across a close and the next open.
struct TTriggerSave {
  uint16_t lastHandle = 0;
  uint16_t availLength = 1;
  std::vector<TTimerTrigger> timers;
  std::vector<TStatusTrigger> statuses;
  std::vector<TDataTrigger> datas;
};

class TTriggerList {
 public:
  // A new handle, or ecNoMoreTriggers.
  int NewHandle();
  bool HandleInUse(uint16_t base) const;
  void Clear();

  TTimerTrigger* FindTimer(uint16_t handle);
  TStatusTrigger* FindStatus(uint16_t handle);
  TDataTrigger* FindData(uint16_t handle);
  // Removes the trigger with that handle; false when there is none.
  bool Remove(uint16_t handle);

  uint16_t lastHandle = 0;  // n of the last handle handed out as 8 x n
  std::vector<TTimerTrigger> timers;
  std::vector<TStatusTrigger> statuses;
  std::vector<TDataTrigger> datas;
};

}  // namespace zarnik
