// The command channel: every byte for the unit goes through here, over the serial
// port (through the port contract) or over the selected PCI board.
//
// How it works: the operations send a block or a text, wait for one prompt
// character (the port consumes received bytes itself while it waits, and raises no
// data-available notices meanwhile), or send the command text and collect the
// unit's reply. Reply collection is armed by SendCOMCmd_GetReply and filled by the
// data-available handler ComPort1TriggerAvail, which runs on the window thread while
// the wait services the message queue; CommandTimer (4000 ms) ends an exchange that
// gets no answer. Failures are shown to the operator here and set the stop flag.
//
// Threading: window thread only. The flags are plain variables; re-entry through
// the message queue (a second notice, the timer) is part of the design.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/board_port.h"
#include "platform/fixed_text.h"
#include "platform/host.h"
#include "platform/link_mode.h"
#include "serial/port_contract.h"

namespace zarnik {

inline constexpr size_t kReplyBufferSize = 1000;
inline constexpr size_t kCmdTextSize = 404;
inline constexpr uint32_t kCommandTimerMs = 4000;

// How long a block may take to leave the output buffer, and then CTS to come up:
// the longer of 14 s and twice the block's time on the line. A slow line must not
// fail a block that is merely on its way; a unit that holds CTS low still fails.
inline constexpr uint32_t kSendWaitMinMs = 14000;
uint32_t SendWaitBoundMs(int count, int32_t baud, uint16_t dataBits, TParity parity,
                         uint16_t stopBits);
// Offers of one byte to a busy PCI board, 100 ms apart.
inline constexpr int kPciByteOffers = 51;
inline constexpr uint32_t kPciRetryMs = 100;
inline constexpr uint32_t kPciPollMs = 10;
inline constexpr int32_t kProbeTicks = 65;

namespace msg {
inline constexpr const char* kOverflowCancel =
    "Error! Communications Port Output Buffer Overflow. Cancel upload.";
inline constexpr const char* kOverflow = "Error! Communications Port Output Buffer Overflow";
inline constexpr const char* kNeverEmpties =
    "Error! Output Buffer never empties. Check RS232 connection. Cancel upload.";
inline constexpr const char* kCtsNotSet =
    "Error! CTS line not set. Check RS232 connection. Cancel upload.";
inline constexpr const char* kPciNotAccepting =
    "Error! PCI board not accepting data. Cancel upload.";
inline constexpr const char* kCommandTimeout =
    "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.";
// Before the serial layer's own text ("/dev/ttyUSB0 was disconnected."); a run's
// message box puts "Error! " in front.
inline constexpr const char* kSerialPortFailure = "Serial port failure: ";
}  // namespace msg

class CommandChannel {
 public:
  // cancelled: the progress window's stop flag, owned there.
  CommandChannel(Host& host, PortContract& comPort, bool& cancelled);
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // The selected PCI board (nullptr when none); used while LinkMode is kLinkPci.
  void SetBoard(BoardPort* board) { board_ = board; }
  BoardPort* Board() const { return board_; }
  PortContract& ComPort1() { return port_; }
  Host& GetHost() { return host_; }

  // Sends a block and waits until it has gone out: QueueBytes, then AwaitBytesSent.
  void SendByte(int count, const uint8_t* data);
  // The two halves of SendByte, so that the caller may prepare the next block while
  // this one drains. QueueBytes hands the bytes over (the port keeps its own copy);
  // true when they wait in the port's output and AwaitBytesSent must follow.
  bool QueueBytes(int count, const uint8_t* data);
  void AwaitBytesSent(int count);
  void SendString(std::string_view text);
  bool SendCOMCmd_GetPrompt(std::string_view command);
  void SendCOMCmd_GetReply();
  // A stop of the run: the prompt wait running now ends at once (not seen), and
  // later ones send their command but do not wait, until ResumePromptWaits. Remembered
  // here because a stop may come between two waits.
  void EndPromptWaits();
  void ResumePromptWaits() { promptWaitsEnded_ = false; }
  bool PromptWaitsEnded() const { return promptWaitsEnded_; }
  // A prompt wait is running (a stop now ends it).
  bool PromptWaiting() const { return promptWaiting_; }
  void SendCOMCmd();
  // Whether bytes can reach the unit: the port is open, or the link is PCI.
  bool LinkUsable() const;

  void ComPort1TriggerAvail(PortContract& port, uint16_t count);
  void CommandTimerTimer();

  // The reply as the script runner reads it: a zero-terminated text from the
  // buffer's first byte.
  std::string ReplyText() const;

  // ---- State, named as the rest of the system knows it ----
  int LinkMode = kLinkUndetermined;
  char PromptChar1 = '#';
  char PromptChar2 = '>';
  char ExpectedPrompt = 0;
  int32_t PromptTimeout = 265;
  bool Probing = false;
  std::array<uint8_t, kReplyBufferSize> ReplyBuffer{};
  int ReplyLength = 0;
  int ReplyMinLength = 0;
  bool ReplyPending = false;
  bool CommandTimedOut = false;
  std::string LoaderModeCmd = "LOADR\r";
  FixedText<kCmdTextSize> CmdText;
  std::string ErrorText;
  TimerId CommandTimer;

 private:
  void SendBytePci(int count, const uint8_t* data);
  bool QueueBytesRs232(int count, const uint8_t* data);
  // Waits in the message queue until cond holds (true) or boundMs have passed.
  template <typename Cond>
  bool WaitUntil(Cond cond, uint32_t boundMs);
  void CollectReply(uint16_t count);
  void Fail(const char* text);

  Host& host_;
  PortContract& port_;
  bool& cancelled_;
  BoardPort* board_ = nullptr;
  bool promptWaitsEnded_ = false;
  bool promptWaiting_ = false;
};

}  // namespace zarnik
