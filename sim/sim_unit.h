// The simulated unit: a model of the unit's end of the serial dialogue.
//
// How it works: the model is pure logic, with no threads, no clock and no I/O. A driver feeds it
// the bytes the host sent, stamped with the time they arrived (Receive), and the model queues its
// answer bytes, each stamped with the time it becomes due on the line. TakeOutput hands over what
// is due and NextOutputTime tells the driver when to come back. Time is whatever the driver says:
// virtual time in the fast tests, a monotonic millisecond clock in zarnik-unit-sim. The clock only
// moves forward; a stamp older than one already seen counts as that newer time. Not thread-safe:
// one driver owns a SimUnit. Options() may be changed between calls and takes effect at once.
//
// The dialogue (every answer text exactly as the unit prints it; P is the current prompt):
//   - Two modes: monitor (prompt `monitorPrompt`, '#') at start, loader (prompt `loaderPrompt`,
//     '>') after the loader-mode command.
//   - Printable characters (and TAB) are echoed as they arrive and collected into a line of at
//     most kMaxLineLength characters. BS or DEL erases the last one and echoes "\b \b". CR runs the
//     line and is not echoed itself: every answer begins with "\r\n" instead. LF is ignored (so
//     CR LF works), other control bytes and bytes above 0x7E are ignored.
//   - Lines (leading/trailing blanks ignored, command words case-insensitive):
//       ""                     -> "\r\n" P
//       loader-mode command    -> "\r\nLOADER READY\r\n>"   (with neverLoader: "\r\n#", no change)
//       VER                    -> "\r\nZK-UNIT FW 2.13 BUILD 0412\r\n" P
//       STAT                   -> "\r\nSTATUS OK TEMP 41C\r\n" P
//       SN                     -> "\r\nSERIAL NO " serialNumber "\r\n" P
//       MODE                   -> "\r\nMODE MONITOR\r\n#" or "\r\nMODE LOADER\r\n>"
//       HELP                   -> "\r\nCOMMANDS VER STAT SN MODE HELP EXIT LOADR\r\n" P
//                                 (the last word is the configured loader-mode command)
//       EXIT                   -> "\r\nMONITOR READY\r\n#"  (leaves loader mode)
//       anything else          -> "\r\nUNKNOWN COMMAND\r\n" P
//       a line that overflowed -> "\r\nLINE TOO LONG\r\n" P
//     Every reply to a query carries at least ten characters before its prompt and no prompt
//     character inside, because the host's reply collector ignores prompt characters among the
//     first ten bytes and stops at the first one after them.
//   - Load line, loader mode only: "<word> <address> <size> <checksum> <version>" where word is
//     any word that is not a command (the host announces "LF" or "LK"), address one word, size
//     decimal (at most kMaxLoadSize), checksum hexadecimal (at most ffff), version the rest of the
//     line (may be empty). The unit then takes exactly `size` raw bytes, any values, without echo
//     and without line handling, and answers (replyDelayMs after the last one):
//       16-bit byte sum matches -> "\r\nLOAD OK\r\n>"          (stays in loader mode)
//       mismatch, wrongChecksum -> "\r\nCHECKSUM ERROR\r\n#"   (falls back to monitor mode, so a
//                                                               host waiting for '>' sees it)
//     Size 0 is answered right after the line. A load line that does not parse gets
//     "\r\nBAD LOAD LINE\r\n>". In monitor mode a load line is an unknown command. The data starts
//     straight after the CR: a host must not send LF after the load line.
//
// Timing: echo is due when the byte arrived; an answer starts replyDelayMs after its CR (or the
// end of the data). With baud set, the unit's transmitter sends 10 bits per byte, so each output
// byte is due when its last bit has left, one after the other. Unsolicited text is printed as
// given every unsolicitedEveryMs, counted from the first time stamp the model sees; it is queued
// whole behind any output already queued (never splits an answer) and is skipped while a load's
// data is coming in, whose bytes it must never mix with.
//
// Faults: absent (nothing is echoed or answered and no command runs; lines are still recorded),
// neverLoader, slow (replyDelayMs), wrongChecksum, hangUpAfterBytes (the unit takes that many
// bytes, then goes dead: later input is neither recorded nor handled, queued output is dropped,
// nothing more comes out; a limit lowered through Options() bites at the next Receive), ctsLow
// (reported by Cts(); only a simulated device can show it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace zarnik::sim {

struct SimUnitOptions {
  char monitorPrompt = '#';
  char loaderPrompt = '>';
  std::string loaderModeCmd = "LOADR";  // entered by this text and CR
  bool absent = false;                  // never answers, never echoes
  bool neverLoader = false;             // ignores the loader-mode command (stays at '#')
  uint32_t replyDelayMs = 2;  // time from a CR (or the end of the data) to the first answer byte
  bool wrongChecksum = false;     // every load is reported bad, whatever arrived
  int64_t hangUpAfterBytes = -1;  // after this many received bytes the unit goes dead; -1 = never
  bool ctsLow = false;            // CTS held low (only a simulated device can show it)
  uint32_t baud = 0;  // 0: answers arrive at once; else output paced at baud/10 bytes per second
  std::string unsolicited{};        // text the unit prints by itself ...
  uint32_t unsolicitedEveryMs = 0;  //   ... every this many ms (0 = never)
  std::string serialNumber = "ZK-004711";  // what SN answers after "SERIAL NO "
};

// The serial number of the unit made after the one numbered `serial`: its last run of digits
// counted up, keeping its width ("ZK-004711" -> "ZK-004712", "A9" -> "A10"); a number without
// digits gets "-2" appended.
std::string NextSerialNumber(const std::string& serial);

// One load, recorded from its load line on; `data` grows as the bytes arrive.
struct LoadedImage {
  std::string loadWord, address, version;
  uint32_t size = 0;       // as announced
  uint16_t checksum = 0;   // as announced
  std::vector<uint8_t> data;  // the bytes that arrived
  bool ok = false;            // the unit answered LOAD OK
  bool complete = false;      // all `size` bytes arrived and the unit has answered
};

class SimUnit {
 public:
  static constexpr size_t kMaxLineLength = 511;
  static constexpr uint32_t kMaxLoadSize = 64u * 1024 * 1024;

  explicit SimUnit(SimUnitOptions options = {});

  // Bytes from the host arriving at nowMs.
  void Receive(const uint8_t* data, size_t n, uint64_t nowMs);
  // Appends the answer bytes due at or before nowMs to `out` and removes them.
  void TakeOutput(uint64_t nowMs, std::string& out);
  // When the next answer byte becomes due; nullopt when nothing is pending or scheduled.
  // May be early (a scheduled unsolicited text that turns out to be skipped), never late.
  std::optional<uint64_t> NextOutputTime() const;
  // Starts the model's clock (the unsolicited schedule) without sending anything. Optional: the
  // first Receive or TakeOutput does the same.
  void Start(uint64_t nowMs);

  bool Cts() const { return !options_.ctsLow; }
  bool InLoaderMode() const { return loader_; }
  bool Dead() const { return dead_; }
  // The cable is pulled from the unit: output not yet on the line is lost, a load being
  // received is cut short, and from now on the unit is absent (lines are still recorded).
  void Disconnect();
  // True while the bytes of a load are coming in; DataBytesMissing() says how many are still due.
  bool InDataPhase() const { return dataMissing_ > 0; }
  uint32_t DataBytesMissing() const { return dataMissing_; }

  // Every command line received, without its CR (load lines included, data excluded).
  const std::vector<std::string>& ReceivedLines() const { return lines_; }
  // Every load, in order, with the bytes that arrived.
  const std::vector<LoadedImage>& Images() const { return images_; }
  // Everything received (up to a hang-up), raw.
  const std::string& ReceivedBytes() const { return received_; }
  SimUnitOptions& Options() { return options_; }
  const SimUnitOptions& Options() const { return options_; }

 private:
  struct Command;
  struct DueByte {
    uint64_t dueMs;
    char byte;
  };

  void AdvanceClock(uint64_t nowMs);
  bool HangUpReached() const;
  void GoDead();
  void HandleByte(uint8_t byte, uint64_t nowMs);
  void HandleLineByte(uint8_t byte, uint64_t nowMs);
  void TakeDataByte(uint8_t byte, uint64_t nowMs);
  void RunLine(uint64_t nowMs);
  void RunCommand(const std::string& command, uint64_t atMs);
  void StartLoad(const std::string& line, uint64_t atMs);
  void FinishLoad(uint64_t atMs);
  void EnterLoader(uint64_t atMs);
  void ExitLoader(uint64_t atMs);
  void ReplyMode(uint64_t atMs);
  void ReplyHelp(uint64_t atMs);
  char Prompt() const;
  void Answer(const std::string& text, uint64_t atMs);
  void Emit(const std::string& bytes, uint64_t atMs);
  void QueueUnsolicited(uint64_t uptoMs);
  bool UnsolicitedEnabled() const;
  std::optional<uint64_t> UnsolicitedDue() const;

  static const Command kCommands[];

  SimUnitOptions options_;
  bool loader_ = false;
  bool dead_ = false;

  std::string line_;
  bool lineOverflow_ = false;
  uint32_t dataMissing_ = 0;

  std::deque<DueByte> output_;
  uint64_t lineFreeNs_ = 0;  // when the unit's transmitter is free again (baud pacing)

  bool clockStarted_ = false;
  uint64_t nowMs_ = 0;
  std::optional<uint64_t> nextUnsolicitedMs_;

  std::vector<std::string> lines_;
  std::vector<LoadedImage> images_;
  std::string received_;
};

}  // namespace zarnik::sim
