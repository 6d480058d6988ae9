// Fuzz target: a whole script file through the upload control, the reader and the
// runner, against the simulated unit on virtual time.
//
// The input is the script as it stands. A first line "; unit: word ..." (a comment
// to the reader) sets the run up:
//   absent neverloader wrongsum slow ctslow unsolicited hangup=N   the unit's faults
//   pci          the link is a PCI board instead of the serial port
//   closed       the serial port is not open
//   stop=N       the operator presses Stop N ms into the run
//   reaction=N   message boxes stay open N ms
// A file the script names resolves by its last path component to one of a few
// files in a scratch folder (kFiles); any other name is a file that is not there,
// so a run never reads the real file system. A run that uses more than an hour of
// virtual time or too many waits is ended there: a _DY 99999 is legal, just long.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fake_port.h"
#include "fuzz_support.h"
#include "link/command_channel.h"
#include "platform/virtual_host.h"
#include "script/file_stamp.h"
#include "script/progress_model.h"
#include "script/script_engine.h"

namespace zarnik::fuzz {
namespace {

struct OutOfBudget {};

class BudgetHost : public VirtualHost {
 public:
  static constexpr uint64_t kMaxVirtualMs = 3'600'000;
  static constexpr uint64_t kMaxWaits = 20'000;
  void Sleep(uint32_t ms) override {
    Spend();
    VirtualHost::Sleep(ms);
  }

 protected:
  void WaitForWork(uint64_t untilMs) override {
    Spend();
    VirtualHost::WaitForWork(untilMs);
  }

 private:
  void Spend() {
    if (++waits_ > kMaxWaits || NowMs() > kMaxVirtualMs) throw OutOfBudget{};
  }
  uint64_t waits_ = 0;
};

struct FixedFile {
  const char* name;
  size_t size;
};
// Sizes around the 2000-byte block.
constexpr FixedFile kFiles[] = {{"empty.bin", 0},    {"one.bin", 1},         {"bootcfg.bin", 1999},
                                {"block.bin", 2000}, {"main-app.bin", 4001}, {"app.bin", 6000}};

std::string scriptPath;

std::string ResolveFixed(const std::string& path) {
  if (path == scriptPath) return path;
  const std::string name = path.substr(path.find_last_of('/') + 1);
  for (const FixedFile& f : kFiles)
    if (name == f.name) return ScratchFolder::Get().Path(f.name);
  return std::string();
}

void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  for (const FixedFile& f : kFiles) {
    std::string bytes(f.size, '\0');
    for (size_t i = 0; i < f.size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    ScratchFolder::Get().Write(f.name, bytes);
  }
  scriptPath = ScratchFolder::Get().Path("script.sld");
  script::SetPathResolver(ResolveFixed);
}

struct RunSetup {
  sim::SimUnitOptions unit;
  bool pci = false;
  bool closed = false;
  uint64_t stopAtMs = 0;
  uint32_t reactionMs = 0;
};

uint32_t NumberAfter(std::string_view word, std::string_view key, uint32_t max) {
  uint64_t n = 0;
  for (char c : word.substr(key.size())) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > max) return max;
  }
  return static_cast<uint32_t>(n);
}

RunSetup ReadSetup(std::string_view script) {
  RunSetup s;
  constexpr std::string_view kHead = "; unit:";
  if (script.substr(0, kHead.size()) != kHead) return s;
  std::string_view line = script.substr(kHead.size());
  line = line.substr(0, line.find('\n'));
  while (!line.empty()) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    std::string_view word = line.substr(0, line.find(' '));
    line.remove_prefix(word.size());
    auto is = [&](std::string_view key) { return word.substr(0, key.size()) == key; };
    if (is("absent"))
      s.unit.absent = true;
    else if (is("neverloader"))
      s.unit.neverLoader = true;
    else if (is("wrongsum"))
      s.unit.wrongChecksum = true;
    else if (is("slow"))
      s.unit.replyDelayMs = 3000;
    else if (is("ctslow"))
      s.unit.ctsLow = true;
    else if (is("hangup="))
      s.unit.hangUpAfterBytes = NumberAfter(word, "hangup=", 100000);
    else if (is("unsolicited")) {
      s.unit.unsolicited = "\r\nTEMP WARN>#\r\n";
      s.unit.unsolicitedEveryMs = 700;
    } else if (is("pci"))
      s.pci = true;
    else if (is("closed"))
      s.closed = true;
    else if (is("stop="))
      s.stopAtMs = NumberAfter(word, "stop=", 600000);
    else if (is("reaction="))
      s.reactionMs = NumberAfter(word, "reaction=", 60000);
  }
  return s;
}

struct Rig {
  explicit Rig(const RunSetup& s)
      : unit(s.unit),
        port(host, unit),
        board(host, unit),
        progress(host),
        ch(host, port, progress.Cancelled),
        engine(host, ch, progress) {
    if (!s.closed) port.SetOpen(true);
    port.SetDrainBytesPerMs(40);
    ch.LinkMode = s.pci ? kLinkPci : kLinkRs232;
    if (s.pci) ch.SetBoard(&board);
    host.reactionMs = s.reactionMs;
    if (s.stopAtMs) host.Schedule(s.stopAtMs, [this] { progress.Stop(); });
  }
  BudgetHost host;
  sim::SimUnit unit;
  testing::FakePort port;
  testing::FakeBoard board;
  ProgressModel progress;
  CommandChannel ch;
  ScriptEngine engine;
};

}  // namespace
}  // namespace zarnik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zarnik;
  using namespace zarnik::fuzz;
  Prepare();
  const std::string_view script(reinterpret_cast<const char*>(data), size);
  ScratchFolder::Get().Write("script.sld", script);
  Rig rig(ReadSetup(script));
  try {
    rig.engine.RunScript(scriptPath);
  } catch (const OutOfBudget&) {
    return 0;  // cut short in the middle of a command: nothing below holds yet
  }
  ScriptEngine& e = rig.engine;
  // The run is over: the operator has the window back.
  FUZZ_CHECK(rig.host.scriptButtonsEnabled);
  FUZZ_CHECK(!rig.host.waitCursor);
  FUZZ_CHECK(rig.host.configMenuVisible);
  FUZZ_CHECK(e.UploadIdle);
  FUZZ_CHECK(!rig.progress.Visible());
  // The working state stayed inside its fields.
  // Nested test lines each advance the row once more after the last one written, so
  // the count may pass the table by the nesting depth (5 characters a level), never
  // by more; no line is stored or run from a row past the table.
  FUZZ_CHECK(e.ScriptRow >= 0 &&
             e.ScriptRow <= kScriptRows + static_cast<int>(kMaxCommandLine) / 5);
  FUZZ_CHECK(e.ScriptColumn >= 0 && e.ScriptColumn <= static_cast<int32_t>(kMaxCommandLine));
  FUZZ_CHECK(rig.ch.ReplyLength >= 0 && rig.ch.ReplyLength < static_cast<int>(kReplyBufferSize));
  FUZZ_CHECK(e.FileSize >= 0);
  for (const auto& image : rig.unit.Images()) FUZZ_CHECK(image.data.size() <= image.size);
  return 0;
}
