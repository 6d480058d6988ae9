#include "serial/rx_ring.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "serial/serial_exceptions.h"

namespace zarnik {

void RxRing::Allocate() {
  std::lock_guard lock(mutex_);
  buf_.assign(kSize, 0);
  released_ = false;
  head_ = tail_ = 0;
  full_ = inNotice_ = callOpen_ = false;
  unscanned_ = arrivedSinceNotice_ = 0;
}

void RxRing::Release() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
    head_ = tail_ = 0;
    full_ = inNotice_ = false;
    unscanned_ = arrivedSinceNotice_ = 0;
  }
  cv_.notify_all();
}

bool RxRing::Released() const {
  std::lock_guard lock(mutex_);
  return released_;
}

bool RxRing::Full() const {
  std::lock_guard lock(mutex_);
  return full_;
}

int RxRing::UsedLocked() const {
  if (full_) return kSize;
  return static_cast<int>((head_ + kSize - tail_) % kSize);
}

int RxRing::Used() const {
  std::lock_guard lock(mutex_);
  return released_ ? 0 : UsedLocked();
}

size_t RxRing::Fill(uint32_t waiting, const DeviceRead& read) {
  size_t total = 0;
  {
    std::lock_guard lock(mutex_);
    if (released_ || full_ || waiting == 0) return 0;
    uint32_t space = tail_ > head_ ? tail_ - head_ : kSize - head_;
    int got = std::max(read(buf_.data() + head_, space), 0);
    total = static_cast<size_t>(got);
    head_ = (head_ + got) % kSize;
    if (static_cast<uint32_t>(got) == space && waiting > space && head_ == 0) {
      uint32_t want = std::min(waiting - space, tail_);
      if (want > 0) {
        int more = std::max(read(buf_.data(), want), 0);
        head_ += more;
        total += more;
      }
    }
    if (total > 0 && head_ == tail_) full_ = true;
    unscanned_ = std::min<size_t>(unscanned_ + total, UsedLocked());
    arrivedSinceNotice_ += total;
  }
  if (total > 0) cv_.notify_all();
  return total;
}

bool RxRing::NoticeReadLocked() const {
  return inNotice_ && callOpen_ && readerCall_ == callSeq_ && reader_ == std::this_thread::get_id();
}

size_t RxRing::ReaderStartLocked() const {
  return NoticeReadLocked() && readPos_ > taken_ ? static_cast<size_t>(readPos_ - taken_) : 0;
}

bool RxRing::CharReady() const {
  std::lock_guard lock(mutex_);
  return !released_ && static_cast<size_t>(UsedLocked()) > ReaderStartLocked();
}

int RxRing::Read(void* buf, size_t len, bool consume, size_t skip) {
  std::lock_guard lock(mutex_);
  if (released_) return ecCommNotOpen;
  const bool noticeRead = NoticeReadLocked();
  size_t used = UsedLocked();
  size_t start = ReaderStartLocked();
  size_t avail = used > start ? used - start : 0;
  if (skip + len > avail) return ecBufferIsEmpty;
  auto* out = static_cast<uint8_t*>(buf);
  size_t from = (tail_ + start + skip) % kSize;
  size_t first = std::min(len, kSize - from);
  std::memcpy(out, buf_.data() + from, first);
  std::memcpy(out + first, buf_.data(), len - first);
  if (consume && len > 0) {
    if (noticeRead) {
      readPos_ = taken_ + start + len;
      noticeEnd_ = std::max(noticeEnd_, readPos_);
    } else {
      tail_ = static_cast<uint32_t>((tail_ + len) % kSize);
      taken_ += len;
      full_ = false;
    }
  }
  return static_cast<int>(len);
}

void RxRing::Flush() {
  std::lock_guard lock(mutex_);
  if (NoticeReadLocked()) {
    noticeEnd_ = std::max(noticeEnd_, taken_ + UsedLocked());  // dropped when it ends
  } else {
    taken_ += UsedLocked();
    tail_ = head_;
    full_ = false;
  }
  unscanned_ = 0;
}

void RxRing::WaitForBytes(uint32_t maxMs, const std::function<bool()>& stop) {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(maxMs), [&] {
    return released_ || static_cast<size_t>(UsedLocked()) > ReaderStartLocked() || stop();
  });
}

void RxRing::Wake() {
  { std::lock_guard lock(mutex_); }
  cv_.notify_all();
}

bool RxRing::TakeAnnouncement(uint16_t availLength, size_t& count) {
  std::lock_guard lock(mutex_);
  count = released_ ? 0 : UsedLocked();
  if (availLength == 0 || arrivedSinceNotice_ == 0 || count < availLength) return false;
  arrivedSinceNotice_ = 0;
  return true;
}

void RxRing::ScanFresh(const std::function<void(uint8_t, size_t)>& visit) {
  std::lock_guard lock(mutex_);
  size_t used = UsedLocked();
  size_t fresh = std::min(unscanned_, used);
  for (size_t i = used - fresh; i < used; ++i) visit(buf_[(tail_ + i) % kSize], i + 1);
  unscanned_ = 0;
}

void RxRing::BeginNotice(bool dataNotice) {
  std::lock_guard lock(mutex_);
  inNotice_ = dataNotice && !released_;
  noticeStart_ = noticeEnd_ = readPos_ = taken_;
}

uint64_t RxRing::BeginConsumer() {
  std::lock_guard lock(mutex_);
  readPos_ = taken_;
  callOpen_ = true;
  reader_ = std::thread::id();
  return ++callSeq_;
}

void RxRing::EndConsumer() {
  std::lock_guard lock(mutex_);
  callOpen_ = false;
  reader_ = std::thread::id();
}

void RxRing::SetReader(uint64_t call, bool reading) {
  std::lock_guard lock(mutex_);
  auto self = std::this_thread::get_id();
  if (reading) {
    // A call the dispatcher has moved past reads plainly.
    if (call != callSeq_ || !callOpen_) return;
    reader_ = self;
    readerCall_ = call;
  } else if (reader_ == self && readerCall_ == call) {
    reader_ = std::thread::id();
  }
}

bool RxRing::EndNotice(bool aborted, bool availNotice, size_t count) {
  std::lock_guard lock(mutex_);
  bool consumed = !aborted;
  if (!aborted && inNotice_ && !released_) {
    size_t drop = noticeEnd_ > taken_ ? static_cast<size_t>(noticeEnd_ - taken_) : 0;
    drop = std::min<size_t>(drop, UsedLocked());
    tail_ = static_cast<uint32_t>((tail_ + drop) % kSize);
    taken_ += drop;
    if (drop > 0) full_ = false;
    // Read in full when every announced byte is gone, whoever took it.
    if (availNotice && taken_ < noticeStart_ + count) consumed = false;
  }
  inNotice_ = false;
  callOpen_ = false;
  reader_ = std::thread::id();
  return consumed;
}

}  // namespace zarnik
