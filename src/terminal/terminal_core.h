// TTerminalCore: the terminal pane without its window. It holds the received-byte
// queue, the capture file and the emulator (the built-in plain teletype unless an
// external one is assigned), and moves bytes from the port to the screen buffer:
//
//   dispatcher thread   QueueFromPort: the announced block is read straight into the
//                       queue, then 0x7E47 (csPort) is posted to the pane, unless one
//                       is still on its way (it takes every pending byte). Never paints.
//   any thread          QueueText: WriteChar/WriteString, posted as csWriteChar.
//   window thread       ProcessQueued, on 0x7E47: takes every pending byte, writes it
//                       to the capture file when capture is on, and hands it to the
//                       emulator. The pane then paints what changed.
//
// The buffer of the emulator in use posts 0x7E8A to the pane when cells change or
// the cursor moves.
//
// Threading: as above; the queue is the only state the threads share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "terminal/byte_queue.h"
#include "terminal/capture.h"
#include "terminal/terminal_emulator.h"

namespace zarnik {

class Host;
class MessageTarget;

class TTerminalCore {
 public:
  // pane: the target of 0x7E47 and 0x7E8A. The screen keeps the buffer's own row
  // count (TTerminalBuffer::kScreenRows), the pane's default; its owner sets another.
  TTerminalCore(Host& host, MessageTarget* pane);
  ~TTerminalCore();
  TTerminalCore(const TTerminalCore&) = delete;
  TTerminalCore& operator=(const TTerminalCore&) = delete;

  TByteQueue& Queue() { return queue_; }
  TCapture& Capture() { return capture_; }
  TTTYEmulator& BuiltInEmulator() { return builtIn_; }
  TTerminalEmulator& Emulator() { return external_ ? *external_ : builtIn_; }
  TTerminalBuffer& Buffer() { return Emulator().Buffer(); }
  // nullptr: the built-in emulator. The core does not own an external one.
  void SetEmulator(TTerminalEmulator* external);
  TTerminalEmulator* ExternalEmulator() const { return external_; }
  // The pane as the emulators see it (colours, half duplex, the port, the bell).
  void SetSite(TTerminalSite* site);

  // Dispatcher thread. read fills up to n bytes and returns how many it wrote.
  size_t QueueFromPort(size_t count, const TByteQueue::Filler& read);
  // Any thread.
  void QueueText(std::string_view text);
  // Window thread; returns the number of bytes processed.
  size_t ProcessQueued(TCharSource source);

 private:
  Host& host_;
  MessageTarget* pane_;
  TByteQueue queue_;
  TCapture capture_;
  TTTYEmulator builtIn_;
  TTerminalEmulator* external_ = nullptr;
  TTerminalSite* site_ = nullptr;
  std::atomic<bool> portPosted_{false};  // a csPort 0x7E47 is queued and not yet taken
  std::vector<uint8_t> block_;           // window thread: the bytes being processed
};

}  // namespace zarnik
