// TransferMeter: bytes sent, rate and time left of the file whose data goes out,
// for a front end that draws the progress model.
//
// How it works: the transfer steps the model once per block it sent, the last
// block holding the rest of the file, so after k steps min(k x 2000, size) bytes
// have gone out. The bar's position cannot tell that: it stops at its maximum while
// the rest block still goes out (a 4001-byte file: maximum 2, three steps). The
// meter counts steps instead and times them on the caller's clock (milliseconds),
// so it runs the same on real and virtual time. The rate is the average since the
// data began, steady enough to give a useful time left on a paced line.
#pragma once

#include <cstdint>
#include <string>

namespace zarnik {

class TransferMeter {
 public:
  // A file of `size` bytes starts at nowMs (the model was shown).
  void Start(uint64_t nowMs, int64_t size);
  // One block went out at nowMs.
  void Step(uint64_t nowMs);

  int64_t Size() const { return size_; }
  int Steps() const { return steps_; }
  int64_t BytesSent() const;
  // False until a block has gone out after some time has passed.
  bool RateKnown() const;
  double BytesPerSecond() const;
  // Seconds to the end of the file at the average rate; 0 when all is sent; only
  // meaningful when RateKnown().
  double SecondsLeft() const;
  // From Start to the last step.
  double SecondsSoFar() const;

 private:
  uint64_t startMs_ = 0;
  uint64_t lastStepMs_ = 0;
  int64_t size_ = 0;
  int steps_ = 0;
};

// "980 B/s", "11.5 kB/s", "1.20 MB/s" (decimal prefixes, as line rates are given).
std::string FormatRate(double bytesPerSecond);
// "0:07", "12:34", "1:02:03"; "--:--" for a time that is not known (negative or
// not finite).
std::string FormatDuration(double seconds);

}  // namespace zarnik
