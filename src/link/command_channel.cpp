#include "link/command_channel.h"

#include <algorithm>

namespace zarnik {

CommandChannel::CommandChannel(Host& host, PortContract& comPort, bool& cancelled)
    : host_(host), port_(comPort), cancelled_(cancelled) {
  CommandTimer = host_.CreateTimer([this] { CommandTimerTimer(); });
  host_.SetTimerInterval(CommandTimer, kCommandTimerMs);
  port_.OnTriggerAvail = [this](PortContract& port, uint16_t count) {
    ComPort1TriggerAvail(port, count);
  };
}

CommandChannel::~CommandChannel() {
  port_.OnTriggerAvail = nullptr;
  host_.DestroyTimer(CommandTimer);
}

bool CommandChannel::LinkUsable() const {
  return LinkMode == kLinkPci || port_.GetOpen();
}

void CommandChannel::Fail(const char* text) {
  host_.ShowMessage(text);
  cancelled_ = true;
}

// ---- Sending ----

void CommandChannel::SendByte(int count, const uint8_t* data) {
  if (QueueBytes(count, data)) AwaitBytesSent(count);
}

bool CommandChannel::QueueBytes(int count, const uint8_t* data) {
  if (count <= 0) return false;
  if (LinkMode == kLinkPci) {
    SendBytePci(count, data);  // the board takes byte by byte: nothing left to wait for
    return false;
  }
  return QueueBytesRs232(count, data);
}

void CommandChannel::SendBytePci(int count, const uint8_t* data) {
  if (!board_) return;
  for (int i = 0; i < count; ++i) {
    int offers = 1;
    while (board_->PutByte(data[i]) != 0) {
      if (offers == kPciByteOffers) {
        // Dropping the byte would corrupt the image while reporting it sent.
        Fail(msg::kPciNotAccepting);
        return;
      }
      host_.Sleep(kPciRetryMs);
      ++offers;
    }
  }
}

uint32_t SendWaitBoundMs(int count, int32_t baud, uint16_t dataBits, TParity parity,
                         uint16_t stopBits) {
  if (count <= 0 || baud <= 0) return kSendWaitMinMs;
  uint64_t bitsPerChar = 1 + dataBits + (parity == pNone ? 0 : 1) + stopBits;
  uint64_t lineMs = (uint64_t(count) * bitsPerChar * 1000 + uint64_t(baud) - 1) / uint64_t(baud);
  return static_cast<uint32_t>(std::max<uint64_t>(kSendWaitMinMs, 2 * lineMs));
}

namespace {
// Longest sleep between two looks when the port does not wake us itself.
constexpr uint32_t kSendWaitSliceMs = 100;
}  // namespace

template <typename Cond>
bool CommandChannel::WaitUntil(Cond cond, uint32_t boundMs) {
  const uint64_t start = host_.NowMs();
  while (!cond()) {
    uint64_t waited = host_.NowMs() - start;
    if (waited >= boundMs) return false;
    host_.WaitAndProcessMessages(
        static_cast<uint32_t>(std::min<uint64_t>(boundMs - waited, kSendWaitSliceMs)));
  }
  return true;
}

bool CommandChannel::QueueBytesRs232(int count, const uint8_t* data) {
  if (port_.GetOutBuffFree() < count) {
    Fail(msg::kOverflowCancel);
    return false;
  }
  port_.PutBlock(data, static_cast<uint16_t>(count));
  return true;
}

void CommandChannel::AwaitBytesSent(int count) {
  const uint32_t bound = SendWaitBoundMs(count, port_.GetBaud(), port_.GetDataBits(),
                                         port_.GetParity(), port_.GetStopBits());
  // The port wakes the queue when the output empties or CTS moves: no polling.
  port_.SetOutputWatch(true);
  struct Unwatch {
    PortContract& port;
    ~Unwatch() { port.SetOutputWatch(false); }
  } unwatch{port_};
  // A line that is gone ends the wait at once (EPortDisconnected), not after 14 s.
  if (!WaitUntil([&] { return port_.CheckLine(), port_.GetOutBuffUsed() == 0; }, bound)) {
    Fail(msg::kNeverEmpties);
    return;
  }
  if (!WaitUntil([&] { return port_.CheckLine(), port_.GetCTS(); }, bound)) {
    Fail(msg::kCtsNotSet);
    return;
  }
  port_.FlushOutBuffer();
}

void CommandChannel::SendString(std::string_view text) {
  if (LinkMode == kLinkPci) {
    if (board_) board_->PutText(std::string(text).c_str());
    return;
  }
  if (!port_.GetOpen()) return;
  if (port_.GetOutBuffFree() > text.size())
    port_.PutString(text);
  else
    host_.ShowMessage(msg::kOverflow);
}

void CommandChannel::SendCOMCmd() {
  if (LinkUsable()) SendString(CmdText.view());
}

// ---- Prompt wait ----

bool CommandChannel::SendCOMCmd_GetPrompt(std::string_view command) {
  const int32_t wait = Probing ? kProbeTicks : PromptTimeout;
  struct Waiting {
    bool& flag;
    bool outer = flag;
    ~Waiting() { flag = outer; }
  } waiting{promptWaiting_};
  if (LinkMode == kLinkPci) {
    SendString(command);
    uint8_t received = 0;
    int32_t counter = wait;
    promptWaiting_ = true;
    while (received != static_cast<uint8_t>(ExpectedPrompt)) {
      if (counter <= 0 || promptWaitsEnded_) break;
      --counter;
      // In the queue, so that a stop can reach this wait.
      if (WaitUntil([this] { return promptWaitsEnded_; }, kPciPollMs)) break;
      if (board_) board_->GetByte(&received);
    }
    bool seen = received == static_cast<uint8_t>(ExpectedPrompt);
    if (board_) board_->ResetReceive();
    return seen;
  }
  if (!port_.GetOpen()) return false;
  port_.FlushInBuffer();
  SendString(command);
  promptWaiting_ = true;
  bool seen = !promptWaitsEnded_ &&
              port_.WaitForString(std::string(1, ExpectedPrompt), wait, true, false);
  // Whatever followed the prompt is not wanted by anyone.
  port_.FlushInBuffer();
  port_.FlushOutBuffer();
  return seen;
}

void CommandChannel::EndPromptWaits() {
  promptWaitsEnded_ = true;
  port_.EndWait();
}

// ---- Reply collection ----

void CommandChannel::SendCOMCmd_GetReply() {
  const bool pci = LinkMode == kLinkPci;
  if (!pci && !port_.GetOpen()) return;
  CommandTimedOut = false;
  ReplyBuffer[0] = 0;
  ReplyLength = 0;
  if (!pci) port_.FlushInBuffer();
  host_.SetTimerEnabled(CommandTimer, true);
  SendString(CmdText.view());
  host_.Sleep(200);
  // The echo of the command is not part of the reply.
  if (!pci) port_.FlushInBuffer();
  SendString("\r");
  ReplyPending = true;
  // Block on the queue rather than spin: the notice, the timer, a close of the
  // window or the port's word of a lost line ends the wait.
  try {
    while (ReplyPending && !CommandTimedOut) {
      if (!pci) port_.CheckLine();
      host_.WaitAndProcessMessages(Host::kInfinite);
    }
  } catch (...) {
    // The line is gone: nothing may stay armed for a reply that cannot come.
    ReplyPending = false;
    host_.SetTimerEnabled(CommandTimer, false);
    throw;
  }
  host_.SetTimerEnabled(CommandTimer, false);
}

void CommandChannel::ComPort1TriggerAvail(PortContract& port, uint16_t count) {
  if (!ReplyPending) return;
  // A notice of 1000 bytes or more cannot fit the reply buffer in one read: take
  // it in pieces that can, each under the same rules as a block of its own. Once
  // the reply is complete the rest of the notice is read and dropped, as a whole
  // block read would have consumed it.
  constexpr uint16_t kPiece = kReplyBufferSize - 1;
  uint16_t left = count;
  while (left > 0) {
    uint16_t piece = std::min(left, kPiece);
    if (ReplyPending) {
      if (piece + ReplyLength >= static_cast<int>(kReplyBufferSize)) ReplyLength = 0;
      port.GetBlock(ReplyBuffer.data() + ReplyLength, piece);
      CollectReply(piece);
    } else {
      std::array<uint8_t, kPiece> drop;
      port.GetBlock(drop.data(), piece);
    }
    left -= piece;
  }
}

void CommandChannel::CollectReply(uint16_t count) {
  const int blockStart = ReplyLength;
  for (int i = 0; i < count; ++i) {
    uint8_t c = ReplyBuffer[ReplyLength];
    bool prompt = c == static_cast<uint8_t>(PromptChar1) || c == static_cast<uint8_t>(PromptChar2);
    if (prompt && ReplyLength >= ReplyMinLength) {
      ReplyBuffer[blockStart + count - 1] = 0;
      ReplyLength = 0;
      ReplyPending = false;
      return;
    }
    ++ReplyLength;
  }
}

std::string CommandChannel::ReplyText() const {
  auto end = std::find(ReplyBuffer.begin(), ReplyBuffer.end(), 0);
  return std::string(ReplyBuffer.begin(), end);
}

void CommandChannel::CommandTimerTimer() {
  host_.SetTimerEnabled(CommandTimer, false);
  cancelled_ = true;
  ErrorText = msg::kCommandTimeout;
  host_.ShowMessage(ErrorText);
  CommandTimedOut = true;
  host_.ProcessMessages();
}

}  // namespace zarnik
