// The script reader and the runner's line handling and command table.
#include "script/script_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "script/script_check.h"
#include "script/script_syntax.h"

namespace zarnik {

struct ScriptEngine::Command {
  std::string_view code;
  bool ScriptEngine::*gate;  // the command is recognised only while this flag is set
  bool (ScriptEngine::*run)(std::string_view line);
};

// In the order the codes are compared; a gated code whose flag is clear matches
// nothing further down, so the line is skipped.
constexpr ScriptEngine::Command ScriptEngine::kCommands[] = {
    {"_SC", nullptr, &ScriptEngine::CmdSendCommand},
    {"_TC", nullptr, &ScriptEngine::CmdTestLoader},
    {"_DM", nullptr, &ScriptEngine::CmdDisplayMessage},
    {"_DY", nullptr, &ScriptEngine::CmdDelay},
    {"_LP", nullptr, &ScriptEngine::CmdLoadPause},
    {"_LC", nullptr, &ScriptEngine::CmdLoadCommand},
    {"_LF", nullptr, &ScriptEngine::CmdLoadFileLF},
    {"_LK", nullptr, &ScriptEngine::CmdLoadFileLK},
    {"_LA", &ScriptEngine::FileReady, &ScriptEngine::CmdLoadAddress},
    {"_LV", &ScriptEngine::ChecksumReady, &ScriptEngine::CmdLoadVersion},
    {"_LD", &ScriptEngine::VersionReady, &ScriptEngine::CmdLoad},
    {"_PC", nullptr, &ScriptEngine::CmdPromptChar},
    {"_QC", nullptr, &ScriptEngine::CmdQuery},
    {"_CE", nullptr, &ScriptEngine::CmdIfEquals},
    {"_CS", nullptr, &ScriptEngine::CmdIfContains},
};

// Reads the script as text: a carriage return directly before a line feed is not
// part of the line, whatever else the file holds is handed on as it is. Reading ends
// after script::kMaxScriptBytes, even in a file that grows while it is read.
class ScriptEngine::ScriptReader {
 public:
  explicit ScriptReader(std::FILE* f) : f_(f) {}
  int Next() {
    int c = Get();
    if (c == '\r') {
      int next = Get();
      if (next == '\n') return '\n';
      if (next != EOF) Unget(next);
    }
    return c;
  }
  // Not at the end when cut off: the line in hand is not run.
  bool AtEnd() {
    int c = Get();
    if (c == EOF) return !overran_;
    Unget(c);
    return false;
  }
  bool Overran() const { return overran_; }

 private:
  int Get() {
    if (left_ == 0) {
      overran_ = overran_ || std::getc(f_) != EOF;
      return EOF;
    }
    int c = std::getc(f_);
    if (c != EOF) --left_;
    return c;
  }
  void Unget(int c) {
    std::ungetc(c, f_);
    ++left_;
  }
  std::FILE* f_;
  uint64_t left_ = script::kMaxScriptBytes;
  bool overran_ = false;
};

ScriptEngine::ScriptEngine(Host& host, CommandChannel& channel, ProgressModel& progress)
    : host_(host), ch_(channel), progress_(progress) {
  progress_.AddObserver(&stopRelay_);
}

ScriptEngine::~ScriptEngine() { progress_.RemoveObserver(&stopRelay_); }

void ScriptEngine::Pause(uint32_t ms) {
  // Slices short enough that a pulled cable ends the run at once, timed from the
  // start so the slices add up to ms on a real clock too.
  constexpr uint64_t kSliceMs = 50;
  PortContract& port = ch_.ComPort1();
  const uint64_t end = host_.NowMs() + ms;
  for (;;) {
    port.CheckLine();
    const uint64_t now = host_.NowMs();
    if (now >= end) return;
    host_.Sleep(static_cast<uint32_t>(std::min(end - now, kSliceMs)));
  }
}

void ScriptEngine::ShowError(const std::string& text) {
  ch_.ErrorText = text;
  host_.ShowMessage(text);
}

bool ScriptEngine::LineError(const std::string& what) {
  ShowError("Error! Script line " + std::to_string(ScriptLineNumber) + " " + what +
            ". Exiting script.");
  return false;
}

bool ScriptEngine::TooManyLines() {
  return LineError("is beyond the " + std::to_string(kScriptRows) +
                   " command lines one reading can hold");
}

bool ScriptEngine::FieldError(const char* field, size_t capacity) {
  return LineError(std::string("has ") + field + " longer than " + std::to_string(capacity) +
                   " characters");
}

bool ScriptEngine::PutCmdText(std::string_view text) {
  if (ch_.CmdText.Assign(text)) return true;
  return FieldError("a command text", decltype(ch_.CmdText)::kCapacity);
}

void ScriptEngine::ClearScript() {
  for (auto& row : ScriptLines) row.fill('\0');
  ScriptRow = 0;
  ScriptColumn = 0;
}

// ---- Reader ----

bool ScriptEngine::read_ini() {
  host_.SetScriptButtonsEnabled(false);
  host_.SetStatusText(msg::kReadingScript);
  host_.ProcessMessages();
  bool opened = false;
  bool ok = false;
  reading_ = true;
  try {
    ok = ReadScriptFile(opened);
  } catch (const ESerialException& e) {
    // The line failed under a command; every step on the way here has undone what
    // it set up, so the reading just ends, as a failed command would.
    progress_.Cancelled = true;
    ShowError("Error! " + std::string(msg::kSerialPortFailure) + e.what());
  }
  reading_ = false;
  // The stop belonged to this reading; whatever waits next (a probe, a new run)
  // waits in full.
  ch_.ResumePromptWaits();
  lastScriptOpened_ = opened;
  host_.SetStatusText(!ok ? msg::kStatusBlank
                          : Cancelled() ? msg::kReadStopped : msg::kReadComplete);
  host_.SetScriptButtonsEnabled(true);
  return ok;
}

OpenedFile ScriptEngine::OpenScript(const std::string& path) {
  return OpenRegularFile(path, script::kMaxScriptBytes);
}

bool ScriptEngine::ReadScriptFile(bool& opened) {
  OpenedFile f = OpenScript(ScriptFileName);
  opened = static_cast<bool>(f);
  if (!opened) {
    // A FIFO, a device or a huge file gets its reason; a missing file the usual text.
    const bool refused = f.problem != FileProblem::CannotOpen;
    ShowError("Error opening file " + ScriptFileName + " for read" +
              (refused ? ": " + f.reason : std::string()) + ".");
    return false;
  }
  ScriptReader reader(f.get());
  if (!ReadLoop(reader)) return false;
  if (!reader.Overran()) return true;
  ShowError("Error! Script file " + ScriptFileName + " is larger than " +
            std::to_string(script::kMaxScriptBytes) + " bytes. Exiting script.");
  return false;
}

bool ScriptEngine::ReadLoop(ScriptReader& reader) {
  script::LineClassifier line;
  ScriptLineNumber = 1;
  while (!Cancelled()) {
    int c = reader.Next();
    if (c == EOF) break;
    if (c == '\n') {
      bool complete = line.InCommand();
      line.EndLine();
      if (complete && !RunScriptLine()) return false;
      ++ScriptLineNumber;
      continue;
    }
    script::ScriptChar kind = line.Take(static_cast<char>(c));
    if (kind == script::ScriptChar::kSkipped) continue;
    if (kind == script::ScriptChar::kOpensCommand && ScriptRow >= kScriptRows)
      return TooManyLines();
    if (!StoreChar(static_cast<char>(c))) return false;
    if (reader.AtEnd()) {
      line.EndLine();
      if (!RunScriptLine()) return false;
    }
  }
  return true;
}

bool ScriptEngine::StoreChar(char c) {
  // Only 199 characters reach the runner; running the rest cut off would send
  // something the script never said.
  if (ScriptColumn >= static_cast<int32_t>(kMaxCommandLine)) return LineError("is too long");
  ScriptLines[ScriptRow][ScriptColumn++] = c;
  return true;
}

// ---- Runner ----

bool ScriptEngine::RunScriptLine() {
  // zarnik-cli check knows the codes from the shared list: the two must agree.
  static_assert([] {
    if (std::size(kCommands) != std::size(script::kCommandCodes)) return false;
    for (size_t i = 0; i < std::size(kCommands); ++i)
      if (kCommands[i].code != script::kCommandCodes[i]) return false;
    return true;
  }());
  if (ScriptRow < 0 || ScriptRow >= kScriptRows)
    return TooManyLines();
  auto& row = ScriptLines[ScriptRow];
  if (ScriptColumn <= 0 || row[0] != '_') return true;
  if (ScriptColumn > static_cast<int32_t>(kMaxCommandLine)) return LineError("is too long");
  row[ScriptColumn] = '\0';
  FixedText<kLineCopySize> copy;
  copy.Assign(row.data());
  const std::string_view line = copy.view();
  const std::string_view code = script::CommandCode(line);
  for (const Command& cmd : kCommands) {
    if (code != cmd.code || (cmd.gate && !(this->*cmd.gate))) continue;
    if (!(this->*cmd.run)(line)) return false;
    break;
  }
  ++ScriptRow;
  ScriptColumn = 0;
  return true;
}

bool ScriptEngine::RunLine(std::string_view commandLine) {
  if (ScriptRow < 0 || ScriptRow >= kScriptRows)
    return TooManyLines();
  if (commandLine.size() > kMaxCommandLine) return LineError("is too long");
  auto& row = ScriptLines[ScriptRow];
  std::memcpy(row.data(), commandLine.data(), commandLine.size());
  row[commandLine.size()] = '\0';
  ScriptColumn = static_cast<int32_t>(commandLine.size());
  return RunScriptLine();
}

}  // namespace zarnik
