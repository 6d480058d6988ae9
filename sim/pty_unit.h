// The simulated unit on a pseudo-terminal, the engine of zarnik-unit-sim.
//
// How it works: Open() creates a pty pair, puts the slave side in raw mode (cfmakeraw, so the
// line discipline translates nothing and echoes nothing: all echo is the unit's own) and keeps
// the slave open itself, so the master never sees a hang-up while no client is connected and a
// client may come and go. Run() is a single-threaded poll() loop: bytes read from the master are
// stamped with a monotonic millisecond clock and fed to the SimUnit; its output is written as it
// becomes due. poll() sleeps until the next due output, the next byte the line may deliver, new
// input or the stop descriptor, so nothing spins. With a baud rate set, the master is read no
// faster than baud/10 bytes per second, so a writer sees line rate; the model paces its output.
// Received lines and a summary of every load go to the log, each finished load's bytes to
// DIR/image-<n>.bin (n from 1). When the unit hangs up, Run() returns and Close() drops the
// master, so a client sees the line vanish.
//
// The control descriptor carries one byte per request: kControlDisconnect pulls the cable from
// the unit (it goes silent; the pty stays, as an adapter stays plugged in), kControlConnect puts
// a fresh unit on the line (new state, the next serial number), anything else stops Run(). Each
// is logged (`DISCONNECT`, `CONNECT <serial>`), so a test knows when it has taken effect.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim_unit.h"

namespace zarnik::sim {

struct PtyUnitConfig {
  SimUnitOptions unit;
  std::string logPath;   // empty: no log
  std::string imageDir;  // empty: loads are not saved; created when missing
};

enum class PtyUnitEnd { kStopped, kHungUp, kFailed };

inline constexpr char kControlStop = 's';
inline constexpr char kControlDisconnect = 'd';
inline constexpr char kControlConnect = 'c';

class PtyUnit {
 public:
  explicit PtyUnit(PtyUnitConfig config);
  ~PtyUnit();
  PtyUnit(const PtyUnit&) = delete;
  PtyUnit& operator=(const PtyUnit&) = delete;

  // Creates the pty pair, the image folder and the log. On failure `error` says why.
  bool Open(std::string& error);
  const std::string& SlavePath() const { return slavePath_; }
  // Runs the unit until `controlFd` asks it to stop (kStopped), the unit hangs up (kHungUp) or the
  // pty fails (kFailed, with `error`). `controlFd` must be non-blocking.
  PtyUnitEnd Run(int controlFd, std::string& error);
  // Closes both sides of the pty and the log. Idempotent; the destructor calls it.
  void Close();
  const SimUnit& Unit() const { return unit_; }

 private:
  bool ReadMaster(uint64_t nowNs, std::string& error);
  void WriteMaster();
  void Record();
  void LogLine(const std::string& line);
  void FinishImage(size_t index);
  void LogEnd(const char* why);
  void LogEvent(const std::string& text);
  // False when a byte asks Run() to stop.
  bool HandleControl(int controlFd);
  void ConnectFresh();

  PtyUnitConfig config_;
  SimUnit unit_;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::FILE* log_ = nullptr;

  std::string pendingOut_;
  bool inputIdle_ = true;
  uint64_t inputClockNs_ = 0;  // when the bytes read so far have all come down the line
  size_t linesLogged_ = 0;
  size_t imagesDone_ = 0;
  size_t imagesBefore_ = 0;  // loads of the units replaced by fresh ones, for the numbering
};

}  // namespace zarnik::sim
