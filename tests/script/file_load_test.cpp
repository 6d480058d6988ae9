// The file-load chain and the data transfer, against the simulated unit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>

#include "script_rig.h"

namespace zarnik {
namespace {

using testing::Bytes;
using testing::ScriptRig;
using Messages = std::vector<std::string>;

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

std::string Chain(const std::string& path, const char* address = "8000",
                  const char* version = "V1") {
  return "_LF " + path + "\n_LA " + address + "\n_LV " + version + "\n_LD\n";
}

// Counts what the transfer shows: steps and the state of the window around them.
struct StepWatch : ProgressObserver {
  explicit StepWatch(ScriptRig& rig) : r(rig) { r.progress.AddObserver(this); }
  void ProgressStepped(const ProgressModel&) override {
    ++steps;
    idleDuringTransfer = idleDuringTransfer || r.engine.UploadIdle;
    menuDuringTransfer = menuDuringTransfer || r.host.configMenuVisible;
    if (stopAtStep == steps) r.progress.Stop();
    if (onStep) onStep(steps);
    if (onLastStep && r.progress.Position() == r.progress.Max()) onLastStep();
  }
  ScriptRig& r;
  int steps = 0;
  int stopAtStep = 0;
  std::function<void(int step)> onStep;
  std::function<void()> onLastStep;
  bool idleDuringTransfer = false;
  bool menuDuringTransfer = false;
};

TEST(FileLoad, AnnouncesTheFileAndSendsItsBytes) {
  ScriptRig r;
  std::string path = r.files.Write("abc.bin", "abc");
  EXPECT_TRUE(r.Read("_TC \"^M\"\n" + Chain(path)));
  ASSERT_EQ(r.unit.Images().size(), 1u);
  const auto& image = r.unit.Images()[0];
  EXPECT_EQ(r.unit.ReceivedBytes().substr(0, 29), "\rLOADR\r\r\rLF 8000 3 126 V1\rabc");
  EXPECT_EQ(std::string(image.data.begin(), image.data.end()), "abc");
  EXPECT_TRUE(image.ok);
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_FALSE(r.engine.VersionReady);
}

TEST(FileLoad, BlocksOfTwoThousandBytes) {
  struct Case {
    size_t size;
    std::vector<size_t> blocks;
  } cases[] = {{0, {}}, {1999, {1999}}, {2000, {2000}}, {4001, {2000, 2000, 1}}};
  for (const auto& c : cases) {
    ScriptRig r;
    StepWatch watch(r);
    const std::string bytes = Pattern(c.size);
    std::string path = r.files.Write("fw.bin", bytes);
    size_t mark = r.UnitInLoader();
    EXPECT_TRUE(r.Read(Chain(path))) << c.size;
    auto puts = r.PutsFrom(mark);
    // CR, load line, the blocks, then the CR of the prompt check.
    ASSERT_EQ(puts.size(), c.blocks.size() + 3) << c.size;
    for (size_t i = 0; i < c.blocks.size(); ++i) EXPECT_EQ(puts[2 + i].bytes.size(), c.blocks[i]);
    EXPECT_EQ(puts[2].atMs - puts[1].atMs, c.size ? 550u : 3600u + 550u) << c.size;
    EXPECT_EQ(watch.steps, c.size == 4001 ? 3 : 1);
    EXPECT_FALSE(watch.idleDuringTransfer);
    EXPECT_FALSE(watch.menuDuringTransfer);
    EXPECT_TRUE(r.engine.UploadIdle);
    EXPECT_TRUE(r.host.configMenuVisible);
    ASSERT_EQ(r.unit.Images().size(), 1u);
    EXPECT_EQ(std::string(r.unit.Images()[0].data.begin(), r.unit.Images()[0].data.end()), bytes);
    EXPECT_TRUE(r.unit.Images()[0].ok) << c.size;
  }
}

// A whole block takes about two seconds to leave at 9600 baud.
TEST(FileLoad, TransferAt9600Baud) {
  sim::SimUnitOptions o;
  o.baud = 9600;
  ScriptRig r(o);
  r.port.SetBaud(9600);
  const std::string bytes = Pattern(4001);
  std::string path = r.files.Write("fw.bin", bytes);
  r.UnitInLoader();
  EXPECT_TRUE(r.Read(Chain(path)));
  EXPECT_TRUE(r.host.messages.empty());
  ASSERT_EQ(r.unit.Images().size(), 1u);
  EXPECT_EQ(std::string(r.unit.Images()[0].data.begin(), r.unit.Images()[0].data.end()), bytes);
  EXPECT_TRUE(r.unit.Images()[0].ok);
}

TEST(FileLoad, LoadLineNumbers) {
  struct Case {
    std::string bytes;
    const char* name;
    const char* lc;
    const char* line;
  } cases[] = {
      {std::string(1, '\xA5'), "_LF ", "", "LF C000 1 a5 DEV"},
      {std::string(257, '\xFF'), "_LF ", "_LC \"XL\"\n", "XL C000 257 ffff DEV"},
      {std::string(65536, '\xFF'), "_LF ", "", "LF C000 65536 0 DEV"},
      {"abc", "_LK ", "", "LK C000 3 126 DEV"},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    std::string path = r.files.Write("fw.bin", c.bytes);
    r.UnitInLoader();
    // _LC after _LF: _LF sets the word itself.
    EXPECT_TRUE(r.Read(c.name + path + "\n" + c.lc + "_LA C000\n_LV dev\n_LD\n"));
    const auto& lines = r.unit.ReceivedLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.line;
    ASSERT_EQ(r.unit.Images().size(), 1u);
    EXPECT_TRUE(r.unit.Images()[0].ok) << c.line;
  }
}

TEST(FileLoad, ChainLinksOutOfTurnAreSkippedSilently) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "abc");
  size_t mark = r.UnitInLoader();
  EXPECT_TRUE(r.Read("_LD\n_LV V1\n_LA 8000\n_LF " + path + "\n_LV V1\n_LD\n"));
  EXPECT_EQ(r.port.Puts().size(), mark);
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_TRUE(r.engine.FileReady);  // _LF admitted the next link; nothing came
}

TEST(FileLoad, UnopenableFileIsReportedAndTheChainStops) {
  ScriptRig r;
  size_t mark = r.UnitInLoader();
  std::string missing = r.files.Path("missing.bin");
  EXPECT_TRUE(r.Read("_LK " + missing + "\n_LA 8000\n_LV V1\n_LD\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Unable to open file " + missing + ". Cannot upload file."});
  EXPECT_EQ(r.engine.LoadCmdWord, "LK");
  EXPECT_EQ(r.port.Puts().size(), mark);
}

// A FIFO would hold the open, a device would be measured without end.
TEST(FileLoad, AFileThatIsNotRegularIsRefusedAndTheChainStops) {
  ScriptRig r;
  const std::string fifo = r.files.Path("fw.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  size_t mark = r.UnitInLoader();
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
    for (const char* word : {"_LF ", "_LK "}) {
      r.host.messages.clear();
      EXPECT_TRUE(r.Read(word + path + "\n_LA 8000\n_LV V1\n_LD\n"));
      EXPECT_EQ(r.host.messages, Messages{"Error! Unable to open file " + path +
                                          ": not a regular file. Cannot upload file."});
      EXPECT_FALSE(r.engine.FileReady);
    }
  }
  EXPECT_EQ(r.port.Puts().size(), mark);
}

// The unit has the load line and waits for bytes: the run must not end as a success.
TEST(FileLoad, AFileGoneBeforeTheTransferCancelsTheRun) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "abc");
  r.UnitInLoader();
  EXPECT_TRUE(r.Read("_LF " + path + "\n_LA 8000\n_LV V1\n"));
  std::filesystem::remove(path);
  EXPECT_FALSE(r.engine.RunLine("_LD"));
  EXPECT_EQ(r.host.messages, Messages{"Error opening " + path + ".\r"});
  EXPECT_TRUE(r.progress.Cancelled);
  EXPECT_TRUE(r.engine.UploadIdle);
  EXPECT_EQ(r.unit.ReceivedLines().back(), "LF 8000 3 126 V1");
}

// Swapped for a FIFO after it was measured: refused at the transfer, not waited on.
TEST(FileLoad, AFileReplacedByAFifoBeforeTheTransferCancelsTheRun) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "abc");
  r.UnitInLoader();
  EXPECT_TRUE(r.Read("_LF " + path + "\n_LA 8000\n_LV V1\n"));
  std::filesystem::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(r.engine.RunLine("_LD"));
  EXPECT_EQ(r.host.messages, Messages{"Error opening " + path + ".\r"});
  EXPECT_TRUE(r.progress.Cancelled);
  EXPECT_TRUE(r.engine.UploadIdle);
}

// Naming a file starts its chain afresh; a chain left half-done carries into the
// next script only while no file is named in between.
TEST(FileLoad, ChainsAcrossScriptsAndNewNames) {
  struct Case {
    const char* name;
    std::string first, second;
    const char* loaded;  // the image the unit got, or nullptr
  } cases[] = {
      {"carried into the next script", "_LF A\n_LA 8000\n", "_LV V1\n_LD\n", "aaaa"},
      {"new name after _LA", "_LF A\n_LA 100\n_LF B\n", "_LV V1\n_LD\n", nullptr},
      {"new name after _LV", "_LF A\n_LA 100\n_LV V1\n", "_LF B\n_LD\n", nullptr},
      {"the new name's own chain", "_LF A\n_LA 100\n_LF B\n", "_LA 200\n_LV V2\n_LD\n", "bb"},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    std::string a = r.files.Write("a.bin", "aaaa"), b = r.files.Write("b.bin", "bb");
    auto names = [&](std::string text) {  // "_LF A" names a.bin, "_LF B" b.bin
      for (size_t at = 0; (at = text.find("_LF ", at)) != std::string::npos; at += 4)
        text.replace(at + 4, 1, text[at + 4] == 'A' ? a : b);
      return text;
    };
    r.UnitInLoader();
    EXPECT_TRUE(r.Read(names(c.first))) << c.name;
    EXPECT_TRUE(r.Read(names(c.second))) << c.name;
    if (!c.loaded) {
      EXPECT_TRUE(r.unit.Images().empty()) << c.name;
      continue;
    }
    ASSERT_EQ(r.unit.Images().size(), 1u) << c.name;
    const auto& image = r.unit.Images()[0];
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), c.loaded) << c.name;
    EXPECT_TRUE(image.ok) << c.name;
  }
}

TEST(FileLoad, DateVersionSendsTheFileStamp) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "x");
  std::tm t{};
  t.tm_year = 2001 - 1900, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 9, t.tm_min = 7, t.tm_sec = 42;
  t.tm_isdst = -1;
  timeval times[2] = {{std::mktime(&t), 0}, {std::mktime(&t), 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
  r.UnitInLoader();
  EXPECT_TRUE(r.Read(Chain(path, "0", "date")));
  const auto& lines = r.unit.ReceivedLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "LF 0 1 78 3/5/2001_9:07:21"), lines.end());
}

// The file vanishes after _LF (or _LA) has named (measured) it.
TEST(FileLoad, FileGoneBeforeALaterLink) {
  struct Case {
    const char* before;
    const char* after;
    const char* message;  // followed by nothing or by ". Unable to get file checksum"
    bool checksumReady, versionReady;
  } cases[] = {
      {"", "_LA 8000\n_LV V1\n_LD\n", ". Unable to get file checksum", false, false},
      {"_LA 8000\n", "_LV DATE\n", "", false, true},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    std::string path = r.files.Write("fw.bin", "abc");
    size_t mark = r.UnitInLoader();
    EXPECT_TRUE(r.Read("_LF " + path + "\n" + c.before));
    std::filesystem::remove(path);
    EXPECT_TRUE(r.Read(c.after));
    EXPECT_EQ(r.host.messages, Messages{"Error opening file " + path + c.message});
    EXPECT_EQ(r.engine.ChecksumReady, c.checksumReady);
    EXPECT_EQ(r.engine.VersionReady, c.versionReady);
    EXPECT_EQ(r.engine.LoadVersion.str(), c.versionReady ? "DATE" : "");
    EXPECT_EQ(r.port.Puts().size(), mark);
  }
}

TEST(FileLoad, PauseAfterDataFollowsLoadPause) {
  struct Case {
    const char* lp;
    uint64_t pause;
  } cases[] = {{"", 3600}, {"_LP 2\n", 2000}, {"_LP 0\n", 3600}, {"_LP -4\n", 3600}};
  for (const auto& c : cases) {
    ScriptRig r;
    std::string path = r.files.Write("fw.bin", "abc");
    size_t mark = r.UnitInLoader();
    EXPECT_TRUE(r.Read(std::string(c.lp) + Chain(path)));
    auto puts = r.PutsFrom(mark);
    ASSERT_EQ(puts.size(), 4u);
    // Three bytes drain within a millisecond; then the pause, then the prompt check.
    EXPECT_GE(puts[3].atMs - puts[2].atMs, c.pause) << c.lp;
    EXPECT_LE(puts[3].atMs - puts[2].atMs, c.pause + 5) << c.lp;
  }
}

TEST(FileLoad, NoPromptBeforeTheLoadEndsTheScriptWithNothingSent) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "abc");
  r.UnitInLoader();
  r.unit.Options().absent = true;
  size_t mark = r.port.Puts().size();
  EXPECT_FALSE(r.Read(Chain(path) + "_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Unable to receive prompt before upload.... Exiting script."});
  EXPECT_EQ(Bytes(r.PutsFrom(mark)), (std::vector<std::string>{"\r", "\r"}));
  EXPECT_EQ(r.ch.PromptTimeout, 265);
}

TEST(FileLoad, NoPromptAfterTheDataCancelsAfterThreeTries) {
  sim::SimUnitOptions o;
  o.wrongChecksum = true;  // the unit falls back to '#' after the data
  ScriptRig r(o);
  std::string path = r.files.Write("fw.bin", "abc");
  size_t mark = r.UnitInLoader();
  EXPECT_FALSE(r.Read(Chain(path) + "_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Unable to receive prompt after upload. Upload unsuccessful. "
                     "Exiting script."});
  EXPECT_TRUE(r.progress.Cancelled);
  auto puts = r.PutsFrom(mark);
  ASSERT_EQ(puts.size(), 6u);  // CR, load line, data, three CRs
  const uint64_t gaps[] = {65 * kTickMs + 500, 65 * kTickMs + 500};
  for (int i = 0; i < 2; ++i) {
    uint64_t gap = puts[4 + i].atMs - puts[3 + i].atMs;
    EXPECT_GE(gap + kTickMs, gaps[i]);
    EXPECT_LE(gap, gaps[i] + kTickMs);
  }
  uint64_t lastWait = r.host.NowMs() - puts[5].atMs;
  EXPECT_GE(lastWait + kTickMs, 170 * kTickMs);
}

// A unit slow to come back gets the later tries. The wait is 265 again once the
// check before the load is done, and after the check after the data only when it
// took its third, longer try (the first two leave 65, which every wait resets).
TEST(FileLoad, PromptChecksSucceedOnALaterTry) {
  struct Case {
    const char* name;
    bool silentBeforeLoad;  // else silent from the end of the data
    uint64_t backAfterMs;
    size_t crsBefore, crsAfter;
    int32_t timeoutAfter;
  } cases[] = {
      {"before the load, second try", true, 3400, 2, 1, 65},
      {"after the data, second try", false, 3600 + 3575 + 250, 1, 2, 65},
      {"after the data, third try", false, 3600 + 2 * 3575 + 500 + 250, 1, 3, 265},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    StepWatch watch(r);
    int32_t timeoutDuringData = 0;
    auto silence = [&] {
      r.unit.Options().absent = true;
      r.host.ScheduleIn(c.backAfterMs, [&] { r.unit.Options().absent = false; });
    };
    std::string path = r.files.Write("fw.bin", "abc");
    size_t mark = r.UnitInLoader();
    watch.onLastStep = [&] {
      timeoutDuringData = r.ch.PromptTimeout;
      if (!c.silentBeforeLoad) silence();
    };
    if (c.silentBeforeLoad) silence();
    EXPECT_TRUE(r.Read(Chain(path))) << c.name;
    EXPECT_TRUE(r.host.messages.empty()) << c.name;
    EXPECT_EQ(timeoutDuringData, 265) << c.name;
    EXPECT_EQ(r.ch.PromptTimeout, c.timeoutAfter) << c.name;
    ASSERT_EQ(r.unit.Images().size(), 1u) << c.name;
    EXPECT_TRUE(r.unit.Images()[0].ok) << c.name;
    auto puts = Bytes(r.PutsFrom(mark));
    auto load = std::find(puts.begin(), puts.end(), "LF 8000 3 126 V1\r");
    ASSERT_NE(load, puts.end()) << c.name;
    EXPECT_EQ(static_cast<size_t>(std::count(puts.begin(), load, "\r")), c.crsBefore) << c.name;
    EXPECT_EQ(static_cast<size_t>(std::count(load, puts.end(), "\r")), c.crsAfter) << c.name;
  }
}

TEST(FileLoad, StopDuringTheTransferStillSendsTheFileThenEndsTheScript) {
  ScriptRig r;
  StepWatch watch(r);
  watch.stopAtStep = 1;
  const std::string bytes = Pattern(6000);
  std::string path = r.files.Write("fw.bin", bytes);
  size_t mark = r.UnitInLoader();
  EXPECT_FALSE(r.Read(Chain(path) + "_DM \"never\"\n"));
  EXPECT_EQ(watch.steps, 3);
  EXPECT_EQ(r.unit.Images()[0].data.size(), 6000u);
  EXPECT_TRUE(r.host.messages.empty());
  auto puts = r.PutsFrom(mark);
  ASSERT_EQ(puts.size(), 6u);
  // No pause: the prompt check follows the last block once it has drained.
  EXPECT_LT(puts[5].atMs - puts[4].atMs, 200u);
}

// The stop came before the check: the check is part of finishing the file, so a
// unit that never shows its prompt gets all three tries, as without the stop.
TEST(FileLoad, StopDuringTheTransferLeavesThePromptCheckWhole) {
  sim::SimUnitOptions o;
  o.wrongChecksum = true;
  ScriptRig r(o);
  StepWatch watch(r);
  watch.stopAtStep = 1;
  std::string path = r.files.Write("fw.bin", Pattern(6000));
  size_t mark = r.UnitInLoader();
  EXPECT_FALSE(r.Read(Chain(path) + "_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages, std::vector<std::string>{msg::kNoPromptAfterUpload});
  auto puts = Bytes(r.PutsFrom(mark));
  EXPECT_EQ(std::count(puts.begin(), puts.end(), "\r"), 4);  // one before the load line
}

// A block that fails still leaves the rest of the file to go out; the pause is
// skipped and _LD fails.
TEST(FileLoad, ASendFailureMidFileEndsTheScriptAfterTheFile) {
  ScriptRig r;
  StepWatch watch(r);
  r.port.SetDrainIgnoresCts(true);
  watch.onStep = [&](int step) { r.port.HoldCtsLow(step == 1); };
  const std::string bytes = Pattern(6000);
  std::string path = r.files.Write("fw.bin", bytes);
  size_t mark = r.UnitInLoader();
  EXPECT_FALSE(r.Read("_LP 100\n" + Chain(path) + "_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! CTS line not set. Check RS232 connection. Cancel upload."});
  EXPECT_TRUE(r.progress.Cancelled);
  EXPECT_EQ(watch.steps, 3);
  ASSERT_EQ(r.unit.Images().size(), 1u);
  EXPECT_EQ(std::string(r.unit.Images()[0].data.begin(), r.unit.Images()[0].data.end()), bytes);
  auto puts = r.PutsFrom(mark);
  ASSERT_EQ(puts.back().bytes, "\r");  // the prompt check still runs, without the pause
  EXPECT_LT(puts.back().atMs - puts[puts.size() - 2].atMs, 100000u);
}

// _PC moves the check after the data; the check before the load keeps waiting
// for what _TC left.
TEST(FileLoad, PromptCharChangesTheCheckAfterTheData) {
  ScriptRig r;
  std::string path = r.files.Write("fw.bin", "abc");
  EXPECT_FALSE(r.Read("_TC \"^M\"\n_PC \"#\"\n" + Chain(path)));
  ASSERT_EQ(r.unit.Images().size(), 1u);
  EXPECT_TRUE(r.unit.Images()[0].ok);
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Unable to receive prompt after upload. Upload unsuccessful. "
                     "Exiting script."});
}

TEST(FileLoad, AFileOverTwoGigabytesIsRefusedBeforeItIsRead) {
  ScriptRig r;
  std::string path = r.files.Write("big.bin", "");
  std::filesystem::resize_file(path, uint64_t{1} << 31);  // sparse
  size_t mark = r.UnitInLoader();
  EXPECT_TRUE(r.Read(Chain(path)));
  EXPECT_EQ(r.host.messages, Messages{"Error! File " + path +
                                      " is too large to upload. Unable to get file checksum"});
  EXPECT_EQ(r.port.Puts().size(), mark);
}

TEST(FileLoad, AFileThatShrankAfterItsChecksumSendsNoStaleBytes) {
  ScriptRig r;
  const std::string bytes = Pattern(4001);
  std::string path = r.files.Write("fw.bin", bytes);
  r.UnitInLoader();
  EXPECT_TRUE(r.Read("_LF " + path + "\n_LA 8000\n_LV V1\n"));
  std::filesystem::resize_file(path, 2500);
  EXPECT_FALSE(r.engine.RunLine("_LD"));
  EXPECT_EQ(r.host.messages.front(),
            "Error! File " + path + " changed since its checksum was taken. Cancel upload.");
  EXPECT_TRUE(r.progress.Cancelled);
  const auto& data = r.unit.Images()[0].data;
  EXPECT_EQ(std::string(data.begin(), data.begin() + 2000), bytes.substr(0, 2000));
  EXPECT_EQ(r.unit.ReceivedBytes().find(bytes.substr(2000, 500)), std::string::npos);
}

// The next block is read from the file while the one before it drains: a file cut
// short during the first block's drain has already given its second block.
TEST(FileLoad, TheNextBlockIsReadWhileTheOneBeforeDrains) {
  ScriptRig r;
  const std::string bytes = Pattern(6000);
  std::string path = r.files.Write("fw.bin", bytes);
  r.UnitInLoader();
  EXPECT_TRUE(r.Read("_LF " + path + "\n_LA 8000\n_LV V1\n"));
  std::function<void()> cutDuringFirstBlock = [&] {
    const auto& puts = r.port.Puts();
    if (std::any_of(puts.begin(), puts.end(), [](const auto& c) { return c.bytes.size() == 2000; }))
      std::filesystem::resize_file(path, 2000);
    else
      r.host.ScheduleIn(1, cutDuringFirstBlock);
  };
  r.host.ScheduleIn(1, cutDuringFirstBlock);
  EXPECT_FALSE(r.engine.RunLine("_LD"));
  EXPECT_EQ(r.host.messages.front(),
            "Error! File " + path + " changed since its checksum was taken. Cancel upload.");
  EXPECT_NE(r.unit.ReceivedBytes().find(bytes.substr(0, 4000)), std::string::npos);
  EXPECT_EQ(r.unit.ReceivedBytes().find(bytes.substr(4000, 100)), std::string::npos);
}

TEST(FileLoad, TextsLongerThanTheirFieldsEndTheReading) {
  struct Case {
    std::string line;
    const char* message;
  } cases[] = {
      {"_LA " + std::string(50, '8'),
       "Error! Script line 3 has a load address longer than 49 characters. Exiting script."},
      {"_LA 8000\n_LV " + std::string(90, 'v'),
       "Error! Script line 4 has a version longer than 89 characters. Exiting script."},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    std::string path = r.files.Write("fw.bin", "abc");
    EXPECT_FALSE(r.Read("; fields\n_LF " + path + "\n" + c.line + "\n_DM \"never\"\n"));
    EXPECT_EQ(r.host.messages, Messages{c.message});
  }
}

TEST(FileLoad, ChecksumOfAMissingFileKeepsTheOldValues) {
  ScriptRig r;
  r.engine.FileChecksum = 0x1234;
  r.engine.FileSize = 7;
  r.engine.UploadFileName.Assign(r.files.Path("gone.bin"));
  EXPECT_FALSE(r.engine.get_file_checksum());
  EXPECT_FALSE(r.engine.get_date());
  EXPECT_EQ(r.host.messages,
            (Messages{"Error opening file " + r.files.Path("gone.bin") +
                          ". Unable to get file checksum",
                      "Error opening file " + r.files.Path("gone.bin")}));
  EXPECT_EQ(r.engine.FileChecksum, 0x1234);
  EXPECT_EQ(r.engine.FileSize, 7);
}

}  // namespace
}  // namespace zarnik
