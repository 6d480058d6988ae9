#include "terminal/terminal_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/virtual_host.h"

namespace zarnik {
namespace {

// The pane's window as far as messages go: processes queued bytes on 0x7E47.
struct PaneStandIn : MessageTarget {
  TTerminalCore* core = nullptr;
  int stuff = 0;
  int updates = 0;
  std::vector<uintptr_t> sources;
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg == kMsgTermStuff) {
      ++stuff;
      sources.push_back(wParam);
      core->ProcessQueued(static_cast<TCharSource>(wParam));
    } else if (msg == kMsgTermNeedsUpdate) {
      ++updates;
      core->Buffer().GetInvalidRect();
      core->Buffer().ResetCursorMoved();
    }
    return 0;
  }
};

std::string Trimmed(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

std::string FileText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TerminalCoreTest : public testing::Test {
 protected:
  TerminalCoreTest() : core((host.AddTarget(&pane), host), &pane) { pane.core = &core; }
  ~TerminalCoreTest() override { host.RemoveTarget(&pane); }
  VirtualHost host;
  PaneStandIn pane;
  TTerminalCore core;
};

TEST_F(TerminalCoreTest, PaneScreenHasTheBuffersRows) {
  EXPECT_EQ(core.Buffer().RowCount(), TTerminalBuffer::kScreenRows);
  EXPECT_EQ(core.Buffer().TotalRowCount(), 200);
  EXPECT_EQ(core.Capture().Mode(), cmOff);
  EXPECT_EQ(core.Capture().FileName(), "TERMINAL.CAP");
}

TEST_F(TerminalCoreTest, WrittenTextIsProcessedOnTheWindowThread) {
  core.QueueText("AB\r\nC");
  EXPECT_EQ(Trimmed(core.Buffer().RowText(1)), "");  // nothing before the queue is serviced
  host.ProcessMessages();
  EXPECT_EQ(Trimmed(core.Buffer().RowText(1)), "AB");
  EXPECT_EQ(Trimmed(core.Buffer().RowText(2)), "C");
  EXPECT_EQ(core.Buffer().CursorRow(), 2);
  EXPECT_EQ(core.Buffer().CursorCol(), 2);
  EXPECT_EQ(pane.sources, (std::vector<uintptr_t>{csWriteChar}));
  host.ProcessMessages();  // the update notice was posted while the bytes were processed
  EXPECT_EQ(pane.updates, 1);
  EXPECT_EQ(core.Queue().Pending(), 0u);
}

TEST_F(TerminalCoreTest, PortBytesFromAnotherThreadAllReachTheScreen) {
  constexpr int kLines = 500;
  core.Buffer().tbSetRowCount(16);  // as the main window's pane
  std::thread dispatcher([&] {
    for (int i = 0; i < kLines; ++i) {
      std::string line = "line " + std::to_string(i) + "\r\n";
      core.QueueFromPort(line.size(), [&](uint8_t* dst, size_t n) {
        std::copy_n(line.data(), n, dst);
        return n;
      });
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Trimmed(core.Buffer().RowText(15)) != "line " + std::to_string(kLines - 1) &&
         std::chrono::steady_clock::now() < deadline) {
    host.WaitAndProcessMessages(10);
  }
  dispatcher.join();
  host.ProcessMessages();
  EXPECT_EQ(Trimmed(core.Buffer().RowText(15)), "line 499");
  EXPECT_EQ(Trimmed(core.Buffer().RowText(-183)), "line 301");  // nothing lost in between
  EXPECT_EQ(pane.sources.front(), csPort);
}

// Blocks that arrive while a notice is on its way ride on it; once the window thread
// has taken the queue, the next block posts again.
TEST_F(TerminalCoreTest, OneNoticeServesTheBlocksQueuedBeforeIt) {
  auto block = [&](const std::string& text) {
    core.QueueFromPort(text.size(), [&](uint8_t* dst, size_t n) {
      std::copy_n(text.data(), n, dst);
      return n;
    });
  };
  block("AB");
  block("CD");
  block("EF");
  host.ProcessMessages();
  EXPECT_EQ(pane.stuff, 1);
  EXPECT_EQ(Trimmed(core.Buffer().RowText(1)), "ABCDEF");
  block("GH");
  host.ProcessMessages();
  EXPECT_EQ(pane.stuff, 2);
  EXPECT_EQ(Trimmed(core.Buffer().RowText(1)), "ABCDEFGH");
}

TEST_F(TerminalCoreTest, NothingQueuedNothingPosted) {
  core.QueueText("");
  EXPECT_EQ(core.QueueFromPort(5, [](uint8_t*, size_t) { return size_t{0}; }), 0u);
  host.ProcessMessages();
  EXPECT_EQ(pane.stuff, 0);
  EXPECT_EQ(core.ProcessQueued(csPort), 0u);
}

class CaptureTest : public TerminalCoreTest {
 protected:
  CaptureTest() {
    dir = std::filesystem::temp_directory_path() /
          ("zarnik_capture_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    file = dir / "TERMINAL.CAP";
    core.Capture().SetFileName(file.string());
  }
  ~CaptureTest() override {
    core.Capture().SetMode(cmOff);
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::filesystem::path file;
};

TEST_F(CaptureTest, OffByDefaultWritesNothing) {
  core.QueueText("abc");
  host.ProcessMessages();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(CaptureTest, OnCapturesRawBytesBeforeEmulation) {
  {
    std::ofstream old(file);
    old << "old contents";
  }
  core.Capture().SetMode(cmOn);  // empties the file
  std::string raw("A\x01\b\r\n\x07\xff", 7);
  core.QueueText(raw);
  host.ProcessMessages();
  EXPECT_EQ(FileText(file), raw);
  core.Capture().SetMode(cmOff);
  core.QueueText("after");
  host.ProcessMessages();
  EXPECT_EQ(FileText(file), raw);
}

TEST_F(CaptureTest, AppendKeepsTheFileAndThenReadsAsOn) {
  {
    std::ofstream old(file);
    old << "old|";
  }
  core.Capture().SetMode(cmAppend);
  EXPECT_EQ(core.Capture().Mode(), cmOn);
  core.QueueText("new");
  host.ProcessMessages();
  EXPECT_EQ(FileText(file), "old|new");
}

TEST_F(CaptureTest, AFileThatCannotBeCreatedIsReportedAndCaptureStaysOff) {
  core.Capture().SetFileName((dir / "missing" / "TERMINAL.CAP").string());
  try {
    core.Capture().SetMode(cmOn);
    FAIL() << "no exception";
  } catch (const ECaptureError& e) {
    EXPECT_NE(std::string(e.what()).find("missing/TERMINAL.CAP"), std::string::npos) << e.what();
  }
  EXPECT_EQ(core.Capture().Mode(), cmOff);
  core.QueueText("still shown");
  host.ProcessMessages();
  EXPECT_EQ(Trimmed(core.Buffer().RowText(1)), "still shown");
}

}  // namespace
}  // namespace zarnik
