// ScriptEngine: the main window's script and file-load state, the script reader,
// the script runner, the file-load chain with its data transfer, and the upload
// control that starts a run and reports its outcome.
//
// How it works: read_ini reads the script named by ScriptFileName one character at
// a time into the current row of ScriptLines. At the end of each command line it
// calls RunScriptLine, which decodes the row (code = its first three characters,
// looked up in a table of code -> handler, three of them gated by the file-load
// flags) and carries the command out through the command channel. Commands take
// effect while the rest of the file is still unread; a failing command ends the
// reading. Every wait goes through the Host (sleeps and servicing of the message
// queue), so Stop, the command timer and the channel's data-available handler run
// in the middle of a command, and tests run on virtual time.
//
// A file load is the chain _LF/_LK (name) -> _LA (address, size, byte sum) -> _LV
// (version) -> _LD (prompt check, load line, data in 2000-byte blocks, pause,
// prompt check). Each link is admitted only by the flag the previous one set.
//
// Limits: 300 rows of ScriptLines per reading (a test whose condition holds takes
// two), 199 characters per command line, and the field widths below. A line or a
// text that does not fit ends the reading with a message naming the script line;
// nothing is ever cut short or written past a field.
//
// Settings (LoadCmdWord here; LoaderModeCmd and the prompt characters on the
// channel) are applied by the caller before a run.
//
// Threading: window thread only, like the main window it stands for. The two
// script buttons are disabled through the Host for the whole of a reading, so a
// second reading cannot start from inside the first.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "link/command_channel.h"
#include "platform/fixed_text.h"
#include "platform/host.h"
#include "platform/regular_file.h"
#include "script/progress_model.h"

namespace zarnik {

inline constexpr int kScriptRows = 300;
inline constexpr size_t kScriptRowWidth = 210;
inline constexpr size_t kLineCopySize = 200;  // so a command line holds 199 characters
inline constexpr size_t kMaxCommandLine = kLineCopySize - 1;
inline constexpr size_t kTcTextSize = 200;
inline constexpr size_t kLastReplySize = 1000;
inline constexpr size_t kUploadFileNameSize = 300;
inline constexpr size_t kLoadAddressSize = 50;
inline constexpr size_t kLoadVersionSize = 90;
inline constexpr int kBlockSize = 2000;
inline constexpr int32_t kDefaultLoadPause = 3600;
inline constexpr int kBoardIds = 16;

namespace msg {
inline constexpr const char* kReadingScript = "Reading script file. Please wait....";
inline constexpr const char* kReadComplete = "SUCCESS. Reading script file complete";
inline constexpr const char* kReadStopped = "Unsuccessful. Upload terminated by user/error(s).";
inline constexpr const char* kStatusBlank = " ";
inline constexpr const char* kNotInLoaderMode = "Error! Unit not in Loader Mode! Exiting script";
inline constexpr const char* kNoResponseTc =
    "Error! Unable to get response from unit(_TC)! Exiting script";
inline constexpr const char* kNoResponseQc = "Error! No response detected with _QC command";
inline constexpr const char* kNoLineAfterCe = "Error! No line found after successful _CR";
inline constexpr const char* kNoLineAfterCs = "Error! No line found after successful _CS";
inline constexpr const char* kNoPromptBeforeUpload =
    "Error! Unable to receive prompt before upload.... Exiting script.";
inline constexpr const char* kNoPromptAfterUpload =
    "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.";
inline constexpr const char* kUploadComplete = "Upload Complete.";
inline constexpr const char* kUploadUnsuccessful = "Unsuccessful.  Upload terminated by user.";
}  // namespace msg

// How a run started by RunScript ended. The operator sees "Upload Complete." for
// Complete and "Unsuccessful.  Upload terminated by user." for both others;
// ScriptUnreadable tells a front end that the script itself could not be opened.
enum class UploadOutcome { Complete, Unsuccessful, ScriptUnreadable };

// For each PCI board ID 0 to 15: the device index of the board carrying it, or -1.
using BoardIndexTable = std::array<int, kBoardIds>;
// Makes the command channel talk to that board before its run.
using BoardSelector = std::function<void(int boardId, int deviceIndex)>;

class ScriptEngine {
 public:
  // progress.Cancelled must be the flag the channel was built with.
  ScriptEngine(Host& host, CommandChannel& channel, ProgressModel& progress);
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // ---- Upload control ----
  // What the operator's pick of a script does, without the dialog: hourglass on,
  // clear Cancelled, then ClearScript + read_ini once (RS-232), or once per board
  // present in ascending ID order with SelectedBoard set (PCI link); then the
  // outcome message box, hourglass off. The single-path form does one reading on
  // the link as it stands. Automatic mode does not come through here: it sets
  // ScriptFileName and calls read_ini itself (Cancelled and the table untouched,
  // no outcome box).
  UploadOutcome RunScript(const std::string& path);
  UploadOutcome RunScript(const std::string& path, const BoardIndexTable& boards,
                          const BoardSelector& selectBoard);

  // ---- Script reader and runner ----
  // Reads ScriptFileName and runs its command lines. True when it read to the end
  // or stopped because Cancelled was set; false when the script cannot be opened,
  // a command failed or a line does not fit. A failure of the serial line under a
  // command (the unit unplugged, say) ends the reading there: its message
  // ("Error! Serial port failure: /dev/ttyUSB0 was disconnected."), Cancelled set,
  // false.
  bool read_ini();
  // Opens a script for reading: a regular file of at most script::kMaxScriptBytes.
  static OpenedFile OpenScript(const std::string& path);
  // read_ini is running (a front end leaves a lost line to the run while it is).
  bool Reading() const { return reading_; }
  // Empties all rows; ScriptRow and ScriptColumn back to 0.
  void ClearScript();
  // Runs the first ScriptColumn characters of row ScriptRow as a command line.
  bool RunScriptLine();
  // Puts one command line into the current row and runs it, as the reader would
  // (an interactive front end or a test uses this). False, with the reader's
  // message, when it does not fit.
  bool RunLine(std::string_view commandLine);

  // ---- File checksum and date stamp ----
  bool get_file_checksum();  // FileChecksum, FileSize from UploadFileName
  bool get_date();           // LoadVersion from the file's last-write time
  bool get_data_checksum(const uint8_t* data, int length);  // DataChecksum

  // ---- Data transfer ----
  // Sends the file named by UploadFileName, FileSize bytes as measured by _LA, in
  // 2000-byte blocks; then the pause and the prompt check. Failures set Cancelled.
  void UploadButtonClick();

  // ---- State of the main window, as the rest of the system names it ----
  // (ErrorText, CmdText, the prompts and the reply live on the channel.)
  std::array<std::array<char, kScriptRowWidth>, kScriptRows> ScriptLines{};
  int32_t ScriptRow = 0;
  int32_t ScriptColumn = 0;
  std::string ScriptFileName;
  // The script file's line being run (1-based), for messages about it.
  int32_t ScriptLineNumber = 0;
  FixedText<kLastReplySize> LastReply;
  // Told of each _QC: the text sent and the reply kept in LastReply (empty when none
  // came), before the script goes on; the record of a run keeps them.
  std::function<void(std::string_view query, std::string_view reply)> QueryReplied;

  std::string LoadCmdWord = "LF";
  int32_t LoadPause = kDefaultLoadPause;
  FixedText<kUploadFileNameSize> UploadFileName;
  FixedText<kLoadAddressSize> LoadAddress;
  FixedText<kLoadVersionSize> LoadVersion;
  int32_t FileChecksum = 0;
  int32_t FileSize = 0;
  int32_t BlockCount = 0;
  bool FileReady = false;
  bool ChecksumReady = false;
  bool VersionReady = false;
  // Clear exactly while UploadButtonClick runs; closing the window asks first then.
  bool UploadIdle = true;
  int32_t SelectedBoard = -1;
  uint8_t DataChecksum = 0;

  Host& GetHost() { return host_; }
  CommandChannel& Channel() { return ch_; }
  ProgressModel& Progress() { return progress_; }

 private:
  struct Command;
  static const Command kCommands[];
  class ScriptReader;

  bool Cancelled() const { return progress_.Cancelled; }
  // A stop (not an error) has ended the reading's prompt waits: no retry follows.
  bool Stopped() const { return ch_.PromptWaitsEnded(); }
  // The runner's sleep, which a lost line cuts short (EPortDisconnected).
  void Pause(uint32_t ms);
  void ShowError(const std::string& text);
  // The reader's way out on a line that does not fit: message, and false.
  bool LineError(const std::string& what);
  bool TooManyLines();
  bool ReadLoop(ScriptReader& reader);
  bool StoreChar(char c);
  bool FieldError(const char* field, size_t capacity);
  bool PutCmdText(std::string_view text);
  bool ReadScriptFile(bool& opened);

  // Command handlers; `line` is the command line, at most 199 characters.
  bool CmdSendCommand(std::string_view line);    // _SC
  bool CmdTestLoader(std::string_view line);     // _TC
  bool CmdDisplayMessage(std::string_view line); // _DM
  bool CmdDelay(std::string_view line);          // _DY
  bool CmdLoadPause(std::string_view line);      // _LP
  bool CmdLoadCommand(std::string_view line);    // _LC
  bool CmdLoadFileLF(std::string_view line);     // _LF
  bool CmdLoadFileLK(std::string_view line);     // _LK
  bool CmdLoadAddress(std::string_view line);    // _LA
  bool CmdLoadVersion(std::string_view line);    // _LV
  bool CmdLoad(std::string_view line);           // _LD
  bool CmdPromptChar(std::string_view line);     // _PC
  bool CmdQuery(std::string_view line);          // _QC
  bool CmdIfEquals(std::string_view line);       // _CE
  bool CmdIfContains(std::string_view line);     // _CS

  bool NameFile(std::string_view line, const char* word);
  bool RunIfHolds(std::string_view line, bool contains);
  bool TryLoaderPrompt(std::string_view text);
  bool PromptBack();
  void CannotOpenForTransfer(const std::string& path);
  void SendBlocks(std::FILE* f);
  void CheckPromptAfterData();
  UploadOutcome Report(bool allRead, bool unreadable);

  // Every stop goes through the progress model; this passes it on to the link.
  struct StopRelay : ProgressObserver {
    explicit StopRelay(CommandChannel& ch) : ch(ch) {}
    void StopPressed(const ProgressModel&) override { ch.EndPromptWaits(); }
    CommandChannel& ch;
  };

  Host& host_;
  CommandChannel& ch_;
  ProgressModel& progress_;
  StopRelay stopRelay_{ch_};
  bool lastScriptOpened_ = true;
  bool reading_ = false;
  // The one block of file data in memory at a time.
  std::array<uint8_t, kBlockSize> blockBuffer_{};
};

}  // namespace zarnik
