// TByteQueue: the received bytes waiting for the terminal pane, in one contiguous
// block. The pending bytes always start at the beginning of the block: taking some
// moves the rest to the start, taking all simply empties the queue. The block starts
// at 64 bytes; when the pending bytes plus the bytes to add would not fit, its
// capacity doubles (as often as needed) and the pending bytes move into the new block.
//
// Threading: filled on the dispatcher thread (the pane's data handler; also
// WriteChar/WriteString from any thread) and drained on the window thread. Every
// operation takes the queue's lock, and the block only grows under it, so a reader
// never sees a block that is being replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace zarnik {

class TByteQueue {
 public:
  static constexpr size_t kInitialCapacity = 64;

  TByteQueue();

  void Append(const void* data, size_t n);
  // Reserves n bytes at the write end and lets fill write up to n bytes into them
  // (the data handler reads the announced block straight from the dispatcher); keeps
  // as many as fill reports. Returns that count.
  using Filler = std::function<size_t(uint8_t* dst, size_t n)>;
  size_t AppendFrom(size_t n, const Filler& fill);
  // Copies up to max pending bytes to dst and removes them; returns the count.
  size_t Read(void* dst, size_t max);

  size_t Pending() const;
  size_t Capacity() const;

 private:
  void ReserveLocked(size_t n);

  mutable std::mutex lock_;
  std::unique_ptr<uint8_t[]> block_;
  size_t capacity_ = kInitialCapacity;
  size_t pending_ = 0;  // bytes at the start of block_; the write position
};

}  // namespace zarnik
