// The receive ring of a dispatcher (8192 bytes) and the read accounting of its
// data notices.
//
// How it works. The dispatcher thread fills the ring from the device; readers take
// from the tail. A data notice announces every waiting byte. While it is delivered,
// the consumer being called reads from the oldest waiting byte afresh ("notice
// reads": they move only that consumer's position, not the tail); when all consumers
// have run, the tail advances to the furthest byte any of them read. Reads by anyone
// else (the window thread between consumers, a handler the dispatcher stopped waiting
// for) are plain reads that move the tail at once. Positions are counted in bytes
// ever taken off the tail, so plain reads in between never shift what a consumer read.
//
// Which reads are notice reads is decided by a reader tag: the thread of the
// consumer being called and the number of that call. Once the dispatcher has moved
// past a call (a window handler that outlives its 3000 ms, say), its number is stale:
// its later reads are plain, and a tag for it is never taken up again.
//
// Threading: every member takes the ring's own lock (the RxLock of the design), so any
// thread may call anything; the notice steps come from the dispatcher thread, reads
// and the reader tag from whichever thread runs a consumer. Held by shared_ptr, so a
// step the host runs after a handler can outlive the dispatcher.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zarnik {

class RxRing {
 public:
  static constexpr uint32_t kSize = 8192;

  // Allocates the ring, empty. Until then (and after Release) reads fail.
  void Allocate();
  void Release();
  bool Released() const;

  // ---- Filling (dispatcher thread) ----
  // Reads from the device into the free space, in at most two pieces (after the head,
  // then at the start when the first piece was filled and more is waiting). read(dst,
  // n) returns the bytes it put there (negative counts as none). Returns the total.
  using DeviceRead = std::function<int(uint8_t* dst, size_t n)>;
  size_t Fill(uint32_t waiting, const DeviceRead& read);
  bool Full() const;

  // ---- Reading (any thread) ----
  int Used() const;
  // Bytes the calling thread can still read: during a notice, what its consumer has
  // not read yet.
  bool CharReady() const;
  // Copies len bytes, skipping skip, from the reader's position; consume moves it.
  // ecBufferIsEmpty (nothing copied) when fewer are waiting; ecCommNotOpen when
  // released.
  int Read(void* buf, size_t len, bool consume, size_t skip = 0);
  // Drops everything waiting; during a notice, by letting the notice drop it all.
  void Flush();
  // Blocks until the calling thread has something to read, the ring is released,
  // stop() holds or maxMs passed.
  void WaitForBytes(uint32_t maxMs, const std::function<bool()>& stop);
  void Wake();

  // ---- Data notices (dispatcher thread) ----
  // Whether a data-available notice is due: at least availLength bytes waiting and new
  // bytes since the last notice. When due, the count is returned and the bytes count
  // as announced.
  bool TakeAnnouncement(uint16_t availLength, size_t& count);
  // Visits the bytes that came since the last visit, with their distance from the tail
  // (1 for the oldest).
  void ScanFresh(const std::function<void(uint8_t byte, size_t upTo)>& visit);
  // Starts delivering a notice; data notices account reads.
  void BeginNotice(bool dataNotice);
  // Around each consumer call: it reads from the oldest waiting byte. BeginConsumer
  // returns the call's number for SetReader.
  uint64_t BeginConsumer();
  void EndConsumer();
  // The calling thread starts (true) or ends (false) running consumer call `call`.
  void SetReader(uint64_t call, bool reading);
  // Ends the notice: drops what the consumers read (nothing when aborted). For a
  // data-available notice of count bytes, returns whether it was read in full.
  bool EndNotice(bool aborted, bool availNotice, size_t count);

 private:
  int UsedLocked() const;
  bool NoticeReadLocked() const;
  size_t ReaderStartLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<uint8_t> buf_;
  bool released_ = true;
  uint32_t head_ = 0, tail_ = 0;
  bool full_ = false;
  size_t unscanned_ = 0;  // the newest bytes, not yet visited by ScanFresh
  size_t arrivedSinceNotice_ = 0;

  bool inNotice_ = false;
  uint64_t callSeq_ = 0;      // number of the latest consumer call
  bool callOpen_ = false;     // and whether the dispatcher still waits for it
  uint64_t taken_ = 0;        // bytes ever taken off the tail
  uint64_t noticeStart_ = 0;  // taken_ when the notice began
  uint64_t readPos_ = 0;      // where the consumer being called reads next
  uint64_t noticeEnd_ = 0;    // the furthest any consumer of this notice read
  std::thread::id reader_;
  uint64_t readerCall_ = 0;
};

}  // namespace zarnik
