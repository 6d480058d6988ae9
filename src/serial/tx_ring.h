// The output ring of a dispatcher (OutSize bytes) and the writer's view of it.
//
// How it works. Puts copy whole blocks in at the head, or fail whole. The writer
// thread copies the next bytes nobody has handed to the device yet (a copy: after a
// flush, puts may refill the very bytes being written), hands them over, and takes
// bytes off the tail only once the device says it has sent them, so Used counts bytes
// still on their way. A flush empties the ring and starts a new generation: whatever
// the writer learns about a piece of an older generation no longer counts.
//
// Threading: every member takes the ring's own lock (the TxLock of the design).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zarnik {

class TxRing {
 public:
  // An empty ring of size bytes (at least 1). Until then (and after Release) puts fail.
  void Allocate(size_t size);
  // A new size for an allocated ring that is empty; false (nothing changed) otherwise.
  bool Resize(size_t size);
  void Release();
  bool Released() const;
  size_t Size() const;

  // n, or ecOutputBufferTooSmall (nothing copied) or ecCommNotOpen.
  int Put(const void* buf, size_t n);
  int Used() const;
  int Free() const;
  void Flush();

  // ---- The writer ----
  struct Piece {
    std::vector<uint8_t> bytes;  // empty: nothing left to hand over
    uint64_t generation = 0;
  };
  // The next bytes not yet handed to the device, up to the end of the buffer. Returns
  // false when the ring is empty (or released).
  bool NextPiece(Piece& piece);
  // The device took `written` bytes of the piece; a negative count drops the piece
  // and everything handed before it. Returns false when the piece is of an older
  // generation (flushed meanwhile). emptied tells whether the ring became empty.
  bool Handed(const Piece& piece, int written, bool& emptied);
  // The device still holds `queued` of the bytes handed to it: the rest have left
  // and come off the tail. Returns 1 when some left, 0 when none, -1 when the ring
  // was flushed since the piece was taken.
  int Sent(uint64_t generation, uint32_t queued, bool& emptied);
  // Whether every byte in the ring is with the device.
  bool AllHanded() const;

 private:
  int UsedLocked() const;
  bool AdvanceTailLocked(size_t n);

  mutable std::mutex mutex_;
  std::vector<uint8_t> buf_;
  bool released_ = true;
  uint32_t head_ = 0, tail_ = 0;
  bool full_ = false;
  uint32_t handed_ = 0;  // bytes from the tail that the device holds but has not sent
  uint64_t generation_ = 0;
};

}  // namespace zarnik
