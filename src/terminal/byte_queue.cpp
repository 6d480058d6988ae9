#include "terminal/byte_queue.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace zarnik {

TByteQueue::TByteQueue() : block_(std::make_unique<uint8_t[]>(kInitialCapacity)) {}

void TByteQueue::ReserveLocked(size_t n) {
  if (n > std::numeric_limits<size_t>::max() / 2 - pending_) {
    throw std::length_error("TByteQueue: too many bytes waiting for the terminal");
  }
  size_t need = pending_ + n;
  if (need <= capacity_) return;
  size_t capacity = capacity_;
  while (capacity < need) capacity *= 2;
  auto block = std::make_unique<uint8_t[]>(capacity);
  std::memcpy(block.get(), block_.get(), pending_);
  block_ = std::move(block);
  capacity_ = capacity;
}

void TByteQueue::Append(const void* data, size_t n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  ReserveLocked(n);
  std::memcpy(block_.get() + pending_, data, n);
  pending_ += n;
}

size_t TByteQueue::AppendFrom(size_t n, const Filler& fill) {
  if (n == 0) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  ReserveLocked(n);
  size_t got = fill(block_.get() + pending_, n);
  if (got > n) got = n;
  pending_ += got;
  return got;
}

size_t TByteQueue::Read(void* dst, size_t max) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = max < pending_ ? max : pending_;
  if (n == 0) return 0;
  std::memcpy(dst, block_.get(), n);
  pending_ -= n;
  if (pending_ > 0) std::memmove(block_.get(), block_.get() + n, pending_);
  return n;
}

size_t TByteQueue::Pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_;
}

size_t TByteQueue::Capacity() const {
  std::lock_guard<std::mutex> guard(lock_);
  return capacity_;
}

}  // namespace zarnik
