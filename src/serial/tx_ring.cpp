#include "serial/tx_ring.h"

#include <algorithm>
#include <cstring>

#include "serial/serial_exceptions.h"

namespace zarnik {

void TxRing::Allocate(size_t size) {
  std::lock_guard lock(mutex_);
  buf_.assign(std::max<size_t>(size, 1), 0);
  released_ = false;
  head_ = tail_ = handed_ = 0;
  full_ = false;
  ++generation_;
}

bool TxRing::Resize(size_t size) {
  std::lock_guard lock(mutex_);
  if (released_ || UsedLocked() != 0) return false;
  buf_.assign(std::max<size_t>(size, 1), 0);
  head_ = tail_ = handed_ = 0;
  full_ = false;
  ++generation_;
  return true;
}

void TxRing::Release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  head_ = tail_ = handed_ = 0;
  full_ = false;
  ++generation_;
}

bool TxRing::Released() const {
  std::lock_guard lock(mutex_);
  return released_;
}

size_t TxRing::Size() const {
  std::lock_guard lock(mutex_);
  return buf_.size();
}

int TxRing::UsedLocked() const {
  if (buf_.empty()) return 0;
  if (full_) return static_cast<int>(buf_.size());
  return static_cast<int>((head_ + buf_.size() - tail_) % buf_.size());
}

int TxRing::Used() const {
  std::lock_guard lock(mutex_);
  return UsedLocked();
}

int TxRing::Free() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(buf_.size()) - UsedLocked();
}

int TxRing::Put(const void* buf, size_t n) {
  std::lock_guard lock(mutex_);
  if (released_) return ecCommNotOpen;
  if (buf_.size() - UsedLocked() < n) return ecOutputBufferTooSmall;
  if (n == 0) return 0;
  auto* in = static_cast<const uint8_t*>(buf);
  size_t first = std::min(n, buf_.size() - head_);
  std::memcpy(buf_.data() + head_, in, first);
  std::memcpy(buf_.data(), in + first, n - first);
  head_ = static_cast<uint32_t>((head_ + n) % buf_.size());
  if (head_ == tail_) full_ = true;
  return static_cast<int>(n);
}

void TxRing::Flush() {
  std::lock_guard lock(mutex_);
  head_ = tail_ = handed_ = 0;
  full_ = false;
  ++generation_;
}

bool TxRing::AdvanceTailLocked(size_t n) {
  size_t used = UsedLocked();
  n = std::min(n, used);
  if (n == 0) return false;
  tail_ = static_cast<uint32_t>((tail_ + n) % buf_.size());
  full_ = false;
  if (n != used) return false;
  head_ = tail_ = 0;
  return true;
}

bool TxRing::NextPiece(Piece& piece) {
  std::lock_guard lock(mutex_);
  piece.bytes.clear();
  piece.generation = generation_;
  size_t used = UsedLocked();
  if (used == 0 || released_) {
    handed_ = 0;
    return false;
  }
  if (handed_ < used) {
    size_t start = (tail_ + handed_) % buf_.size();
    size_t len = std::min(used - handed_, buf_.size() - start);
    piece.bytes.assign(buf_.begin() + start, buf_.begin() + start + len);
  }
  return true;
}

bool TxRing::Handed(const Piece& piece, int written, bool& emptied) {
  std::lock_guard lock(mutex_);
  emptied = false;
  if (piece.generation != generation_) return false;
  if (written < 0) {
    emptied = AdvanceTailLocked(handed_ + piece.bytes.size());  // a failed write drops it
    handed_ = 0;
  } else {
    handed_ += static_cast<uint32_t>(written);
  }
  return true;
}

int TxRing::Sent(uint64_t generation, uint32_t queued, bool& emptied) {
  std::lock_guard lock(mutex_);
  emptied = false;
  if (generation != generation_) return -1;
  if (queued >= handed_) return 0;
  emptied = AdvanceTailLocked(handed_ - queued);
  handed_ = queued;
  return 1;
}

bool TxRing::AllHanded() const {
  std::lock_guard lock(mutex_);
  return handed_ >= static_cast<uint32_t>(UsedLocked());
}

}  // namespace zarnik
