// Fuzz target: the simulated unit's line handling, loads and output schedule.
//
// Input: an options header (fault bits, reply delay, baud choice, hang-up count,
// unsolicited period), then records. A record's first byte says how far the clock
// moves (low 6 bits, in ms, times 50 with bit 6) and whether bytes arrive (bit 7
// clear: the next byte + 1 bytes are received) or the driver collects output.
// Whatever arrives, the model keeps its promises: output comes no later than
// NextOutputTime says and never before it, loads take no more than they announced,
// a dead unit stays silent, and nothing past the hang-up count is taken.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sim_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zarnik;
  using namespace zarnik::fuzz;
  ByteReader in(data, size);
  sim::SimUnitOptions o;
  const uint8_t faults = in.U8();
  o.absent = faults & 1;
  o.neverLoader = faults & 2;
  o.wrongChecksum = faults & 4;
  o.ctsLow = faults & 8;
  if (faults & 16) o.hangUpAfterBytes = in.U16();
  if (faults & 32) {
    o.unsolicited = "\r\nALARM>\r\n";
    o.unsolicitedEveryMs = in.U8() + 1u;
  }
  if (faults & 64) o.loaderModeCmd = std::string(in.Bytes(in.U8() % 8));
  o.replyDelayMs = in.U8();
  constexpr uint32_t kBauds[] = {0, 300, 1200, 9600, 115200};
  o.baud = kBauds[in.U8() % 5];

  sim::SimUnit unit(o);
  uint64_t now = 0;
  std::string out;
  while (!in.Empty()) {
    const uint8_t rec = in.U8();
    uint64_t step = rec & 0x3F;
    if (rec & 0x40) step *= 50;
    // The driver may hand in a stamp older than one already seen.
    const uint64_t stamp = (rec & 0x3F) == 0x3F ? (now > 5 ? now - 5 : 0) : now + step;
    now = std::max(now, stamp);
    const std::optional<uint64_t> next = unit.NextOutputTime();
    if (rec & 0x80) {
      out.clear();
      unit.TakeOutput(stamp, out);
      // Nothing comes out before the time it announced (or at all when it announced nothing).
      if (!next || *next > now) FUZZ_CHECK(out.empty());
      // What was due has all been handed over.
      const std::optional<uint64_t> after = unit.NextOutputTime();
      FUZZ_CHECK(!after || *after > now);
      if (unit.Dead() || o.absent) FUZZ_CHECK(out.empty());
    } else {
      const std::string_view bytes = in.Bytes(static_cast<size_t>(in.U8()) + 1);
      const size_t before = unit.ReceivedBytes().size();
      unit.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), stamp);
      FUZZ_CHECK(unit.ReceivedBytes().size() <= before + bytes.size());
    }
    if (o.hangUpAfterBytes >= 0) {
      FUZZ_CHECK(unit.ReceivedBytes().size() <= static_cast<size_t>(o.hangUpAfterBytes));
      FUZZ_CHECK(unit.Dead() ==
                 (unit.ReceivedBytes().size() == static_cast<size_t>(o.hangUpAfterBytes)));
    }
    if (unit.Dead()) FUZZ_CHECK(!unit.NextOutputTime());
    FUZZ_CHECK(unit.Cts() == !o.ctsLow);
    const auto& images = unit.Images();
    for (size_t i = 0; i < images.size(); ++i) {
      const sim::LoadedImage& image = images[i];
      FUZZ_CHECK(image.data.size() <= image.size);
      // Only the last load can still be taking bytes.
      if (i + 1 < images.size()) FUZZ_CHECK(image.complete || unit.Dead());
      if (image.complete) FUZZ_CHECK(image.data.size() == image.size);
      if (image.ok) FUZZ_CHECK(image.complete && !o.wrongChecksum);
    }
    FUZZ_CHECK(unit.InDataPhase() == (unit.DataBytesMissing() > 0));
    for (const std::string& line : unit.ReceivedLines())
      FUZZ_CHECK(line.size() <= sim::SimUnit::kMaxLineLength);
  }
  return 0;
}
