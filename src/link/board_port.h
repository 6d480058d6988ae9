// BoardPort: what the command channel needs of the selected PCI board. Bytes move
// through the board's mailbox registers by polling; results are 0 for done and 1
// for busy (sending) or nothing waiting (receiving).
#pragma once

#include <cstdint>

namespace zarnik {

class BoardPort {
 public:
  virtual ~BoardPort() = default;
  virtual int PutByte(uint8_t b) = 0;
  // Sends a zero-terminated text byte by byte.
  virtual int PutText(const char* text) = 0;
  // Leaves *b unchanged when nothing is waiting.
  virtual int GetByte(uint8_t* b) = 0;
  virtual void ResetReceive() = 0;
};

}  // namespace zarnik
