// The file-load chain (_LP, _LC, _LF, _LK, _LA, _LV, _LD), the file's checksum and
// date stamp, and the data transfer.
#include <cctype>
#include <cstdio>
#include <limits>

#include "script/file_stamp.h"
#include "script/script_engine.h"
#include "script/script_syntax.h"

namespace zarnik {

using script::WordArgument;

namespace {
constexpr int32_t kLoaderWaitTicks = 65;
constexpr int32_t kLastTryTicks = 170;
constexpr int32_t kNormalWaitTicks = 265;
constexpr uint32_t kAfterLoadLineMs = 500;
constexpr uint32_t kBeforeDataMs = 50;
}  // namespace

// ---- Checksum and date stamp ----

bool ScriptEngine::get_file_checksum() {
  const std::string path = UploadFileName.str();
  // FileSize is a signed 32-bit field; a bigger file cannot be announced, and is
  // not read through first.
  auto tooLarge = [&](uint64_t size) {
    if (size <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
    ShowError("Error! File " + path + " is too large to upload. Unable to get file checksum");
    return true;
  };
  OpenedFile f = script::OpenForRead(path);
  if (f && tooLarge(script::StreamSize(f.get()))) return false;
  script::FileMeasure m;
  if (!f || !script::MeasureStream(f.get(), m)) {
    ShowError("Error opening file " + path + ". Unable to get file checksum");
    return false;
  }
  if (tooLarge(m.size)) return false;
  FileChecksum = m.checksum;
  FileSize = static_cast<int32_t>(m.size);
  return true;
}

bool ScriptEngine::get_date() {
  const std::string path = UploadFileName.str();
  OpenedFile f = script::OpenForRead(path);
  std::string stamp;
  if (!f || !script::FileDateStamp(f.get(), stamp)) {
    ShowError("Error opening file " + path);
    return false;
  }
  LoadVersion.Assign(stamp);  // at most 19 characters
  return true;
}

bool ScriptEngine::get_data_checksum(const uint8_t* data, int length) {
  DataChecksum = script::DataChecksum8(data, length > 0 ? static_cast<size_t>(length) : 0);
  return true;
}

// ---- The chain ----

bool ScriptEngine::CmdLoadPause(std::string_view line) {
  auto word = WordArgument(line);
  if (!word) return true;
  int32_t seconds = script::LeadingNumber(*word);
  // 0 keeps the pause; a negative pause means nothing, and one beyond the field's
  // range cannot be held, so both keep it too.
  if (seconds > 0 && seconds <= std::numeric_limits<int32_t>::max() / 1000)
    LoadPause = seconds * 1000;
  return true;
}

bool ScriptEngine::CmdLoadCommand(std::string_view line) {
  if (auto text = script::QuotedArgument(line)) LoadCmdWord = std::string(*text);
  return true;
}

bool ScriptEngine::CmdLoadFileLF(std::string_view line) { return NameFile(line, "LF"); }
bool ScriptEngine::CmdLoadFileLK(std::string_view line) { return NameFile(line, "LK"); }

bool ScriptEngine::NameFile(std::string_view line, const char* word) {
  if (auto path = WordArgument(line)) {
    if (!UploadFileName.Assign(*path))
      return FieldError("a file name", decltype(UploadFileName)::kCapacity);
    // Size, checksum and version measured for the file named before would go out
    // with this one.
    ChecksumReady = false;
    VersionReady = false;
    OpenedFile f = script::OpenForRead(UploadFileName.str());
    if (f)
      FileReady = true;
    else if (f.problem == FileProblem::NotRegular)
      ShowError("Error! Unable to open file " + UploadFileName.str() + ": " + f.reason +
                ". Cannot upload file.");
    else
      ShowError("Error! Unable to open file " + UploadFileName.str() + ". Cannot upload file.");
  }
  LoadCmdWord = word;
  return true;
}

bool ScriptEngine::CmdLoadAddress(std::string_view line) {
  FileReady = false;
  auto address = WordArgument(line);
  if (!address) return true;
  if (!LoadAddress.Assign(*address))
    return FieldError("a load address", decltype(LoadAddress)::kCapacity);
  if (get_file_checksum()) ChecksumReady = true;
  return true;
}

bool ScriptEngine::CmdLoadVersion(std::string_view line) {
  ChecksumReady = false;
  auto version = WordArgument(line);
  if (!version) return true;
  std::string upper(*version);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (!LoadVersion.Assign(upper))
    return FieldError("a version", decltype(LoadVersion)::kCapacity);
  if (LoadVersion == "DATE") get_date();
  VersionReady = true;
  return true;
}

bool ScriptEngine::CmdLoad(std::string_view) {
  // ExpectedPrompt is whatever the last wait left (the loader prompt after a _TC).
  ch_.PromptTimeout = kLoaderWaitTicks;
  bool ready = ch_.SendCOMCmd_GetPrompt("\r");
  if (!ready && !Stopped()) ready = ch_.SendCOMCmd_GetPrompt("\r");
  if (!ready) {
    // Stopped: Cancelled fails the line as it would after the data.
    if (!Stopped()) host_.ShowMessage(msg::kNoPromptBeforeUpload);
    ch_.PromptTimeout = kNormalWaitTicks;
    return false;
  }
  ch_.PromptTimeout = kNormalWaitTicks;
  char loadLine[kCmdTextSize + 64];
  std::snprintf(loadLine, sizeof loadLine, "%s %s %d %x %s\r", LoadCmdWord.c_str(),
                LoadAddress.c_str(), FileSize, static_cast<unsigned>(FileChecksum),
                LoadVersion.c_str());
  if (!PutCmdText(loadLine)) return false;
  ch_.SendCOMCmd();
  Pause(kAfterLoadLineMs);
  if (ch_.LinkMode == kLinkPci)
    progress_.ShowPciBoardLabel(SelectedBoard);
  else
    progress_.HidePciBoardLabel();
  host_.ProcessMessages();
  UploadButtonClick();
  VersionReady = false;
  return !Cancelled();
}

// ---- Transfer ----

void ScriptEngine::UploadButtonClick() {
  UploadIdle = false;
  const std::string path = UploadFileName.str();
  if (!script::OpenForRead(path)) return CannotOpenForTransfer(path);
  if (ch_.LinkUsable()) {
    BlockCount = FileSize / kBlockSize;
    OpenedFile f = script::OpenForRead(path);
    if (!f) return CannotOpenForTransfer(path);
    // Whole blocks are read straight from the file: a file changed under the
    // transfer is seen at the block it changed in, not a buffer later.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    PortContract& port = ch_.ComPort1();
    if (port.GetOpen()) {
      port.FlushInBuffer();
      port.FlushOutBuffer();
    }
    host_.SetConfigMenuVisible(false);
    progress_.ShowProgressForm(BlockCount, {path, FileChecksum, LoadAddress.view(), FileSize});
    // A line lost under the data raises out of here: the window must not stay as it
    // is while data goes out.
    struct DataPhase {
      ScriptEngine& e;
      ~DataPhase() {
        e.progress_.HideProgressForm();
        e.host_.SetConfigMenuVisible(true);
        e.UploadIdle = true;
      }
    } phase{*this};
    Pause(kBeforeDataMs);
    SendBlocks(f.get());
    f.file.reset();
  }
  UploadIdle = true;
  if (!Cancelled()) Pause(static_cast<uint32_t>(LoadPause));
  host_.ProcessMessages();
  if (ch_.LinkUsable()) CheckPromptAfterData();
  host_.ProcessMessages();
}

// The unit has the load line and waits for bytes that will not come: the run must
// not end as a success.
void ScriptEngine::CannotOpenForTransfer(const std::string& path) {
  ShowError("Error opening " + path + ".\r");
  progress_.Cancelled = true;
  UploadIdle = true;
}

// Stop does not end the block loop: the unit was promised FileSize bytes and gets
// them. A file that has become shorter since _LA cannot keep that promise; its
// transfer ends at the first short read rather than send a stale buffer. The next
// block is read while the one before it drains; what the operator sees, and when,
// is as if each block were read just before it is sent.
void ScriptEngine::SendBlocks(std::FILE* f) {
  const int32_t rest = FileSize - BlockCount * kBlockSize;
  const int32_t blocks = BlockCount + (BlockCount == 0 || rest > 0 ? 1 : 0);
  auto readBlock = [&](int32_t i) {
    const size_t size = static_cast<size_t>(i < BlockCount ? kBlockSize : rest);
    return std::fread(blockBuffer_.data(), 1, size, f) == size;
  };
  bool read = readBlock(0);
  for (int32_t i = 0; i < blocks; ++i) {
    if (!read) {
      ShowError("Error! File " + UploadFileName.str() +
                " changed since its checksum was taken. Cancel upload.");
      progress_.Cancelled = true;
      return;
    }
    const bool full = i < BlockCount;
    if (!full && !ch_.LinkUsable()) return;
    const int size = full ? kBlockSize : rest;
    const bool queued = ch_.QueueBytes(size, blockBuffer_.data());
    if (i + 1 < blocks) read = readBlock(i + 1);
    if (queued) ch_.AwaitBytesSent(size);
    progress_.StepIt();
    if (full) host_.ProcessMessages();
  }
}

bool ScriptEngine::PromptBack() {
  ch_.ExpectedPrompt = ch_.PromptChar2;
  return ch_.SendCOMCmd_GetPrompt("\r");
}

// Three tries for the loader prompt; the unit may still be writing the image.
void ScriptEngine::CheckPromptAfterData() {
  const uint32_t gapMs = ch_.LinkMode == kLinkPci ? 1000 : 500;
  // A stop during the data lets the file finish, and the unit may still be writing
  // it: the check runs as usual. A stop during the check ends it, with no further
  // try and no message (Cancelled is set already).
  ch_.ResumePromptWaits();
  ch_.PromptTimeout = kLoaderWaitTicks;
  if (PromptBack() || Stopped()) return;
  Pause(gapMs);
  ch_.PromptTimeout = kLoaderWaitTicks;
  if (PromptBack() || Stopped()) return;
  Pause(gapMs);
  ch_.PromptTimeout = kLastTryTicks;
  bool back = PromptBack();
  ch_.PromptTimeout = kNormalWaitTicks;
  if (back || Stopped()) return;
  host_.ShowMessage(msg::kNoPromptAfterUpload);
  progress_.Cancelled = true;
}

}  // namespace zarnik
