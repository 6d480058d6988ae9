// The script reader: which lines run, in what order, and how a reading ends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "script/script_check.h"
#include "script_rig.h"

namespace zarnik {
namespace {

using testing::ScriptRig;
using Messages = std::vector<std::string>;

TEST(ScriptReader, RunsCommandLinesAndSkipsTheRest) {
  struct Case {
    const char* name;
    std::string script;
    Messages shown;
  } cases[] = {
      {"empty", "", {}},
      {"only comments and settings", "[Loader]\n\n; _DM \"no\"\nkey=value\n  \n", {}},
      {"LF", "_DM \"a\"\n_DM \"b\"\n", {"a", "b"}},
      {"CR LF", "_DM \"a\"\r\n_DM \"b\"\r\n", {"a", "b"}},
      {"no line end at the end", "_DM \"a\"\n_DM \"last\"", {"a", "last"}},
      {"blanks and letters before the code", "   _DM \"x\"\nLoad = _DM \"y\"\n", {"x", "y"}},
      {"comment before the code", "; _DM \"x\"\n", {}},
      {"semicolon inside a command", "_DM \"a;b\"\n", {"a;b"}},
      {"unknown and lower-case codes", "_XX \"a\"\n_dm \"b\"\n_DMX \"c\"\n", {"c"}},
      {"escape in a message", "_DM \"one^Mtwo\"\n", {"one\rtwo"}},
  };
  for (const auto& c : cases) {
    ScriptRig r;
    EXPECT_TRUE(r.Read(c.script)) << c.name;
    EXPECT_EQ(r.host.messages, c.shown) << c.name;
    EXPECT_EQ(r.host.statusTexts.front(), "Reading script file. Please wait....");
    EXPECT_EQ(r.host.statusTexts.back(), "SUCCESS. Reading script file complete") << c.name;
    EXPECT_TRUE(r.port.Puts().empty()) << c.name;
  }
}

TEST(ScriptReader, ButtonsAreDisabledForTheWholeReading) {
  ScriptRig r;
  std::vector<bool> enabledWhileShown;
  r.host.onMessage = [&](const std::string&) {
    enabledWhileShown.push_back(r.host.scriptButtonsEnabled);
  };
  EXPECT_TRUE(r.Read("_DM \"a\"\n"));
  EXPECT_EQ(enabledWhileShown, std::vector<bool>{false});
  EXPECT_TRUE(r.host.scriptButtonsEnabled);
}

TEST(ScriptReader, CancelledBeforeReadingRunsNothing) {
  ScriptRig r;
  r.progress.Cancelled = true;
  EXPECT_TRUE(r.Read("_DM \"a\"\n"));
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_EQ(r.host.statusTexts.back(), "Unsuccessful. Upload terminated by user/error(s).");
}

TEST(ScriptReader, StopsAtTheFirstCharacterAfterCancelled) {
  ScriptRig r;
  r.host.onMessage = [&](const std::string& m) {
    if (m == "stop") r.progress.Stop();
  };
  EXPECT_TRUE(r.Read("_DM \"stop\"\n_DM \"never\"\n"));
  EXPECT_EQ(r.host.messages, Messages{"stop"});
  EXPECT_EQ(r.host.statusTexts.back(), "Unsuccessful. Upload terminated by user/error(s).");
}

TEST(ScriptReader, UnreadableScript) {
  ScriptRig r;
  r.engine.ScriptFileName = r.files.Path("missing.sld");
  EXPECT_FALSE(r.engine.read_ini());
  EXPECT_EQ(r.host.messages, Messages{"Error opening file " + r.files.Path("missing.sld") +
                                      " for read."});
  EXPECT_EQ(r.host.statusTexts.back(), " ");
  EXPECT_TRUE(r.host.scriptButtonsEnabled);
}

// None of these may make the reading wait or go on without end.
TEST(ScriptReader, ScriptsThatAreNotRegularFilesOrTooLargeAreRefused) {
  ScriptRig r;
  const std::string fifo = r.files.Path("fifo.sld");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = r.files.Write("huge.sld", "_DM \"never\"\n");
  std::filesystem::resize_file(huge, script::kMaxScriptBytes + 1);  // sparse
  const std::string atLimit = r.files.Write("limit.sld", "_DM \"at the limit\"\n");
  std::filesystem::resize_file(atLimit, script::kMaxScriptBytes);
  struct Case {
    std::string path;
    bool read;
    Messages messages;
  } cases[] = {
      {fifo, false, {"Error opening file " + fifo + " for read: not a regular file."}},
      {"/dev/zero", false, {"Error opening file /dev/zero for read: not a regular file."}},
      {huge, false, {"Error opening file " + huge + " for read: larger than 1048576 bytes."}},
      {atLimit, true, {"at the limit"}},
  };
  for (const auto& c : cases) {
    r.host.messages.clear();
    r.engine.ScriptFileName = c.path;
    EXPECT_EQ(r.engine.read_ini(), c.read) << c.path;
    EXPECT_EQ(r.host.messages, c.messages);
  }
}

// A file that grows while it is read is read up to the limit and no further.
TEST(ScriptReader, AScriptThatGrowsBeyondTheLimitWhileReadEndsTheReading) {
  ScriptRig r;
  std::string path;
  r.host.onMessage = [&](const std::string& m) {
    if (m == "grow") std::filesystem::resize_file(path, script::kMaxScriptBytes + 4096);
  };
  path = r.files.Write("grows.sld", "_DM \"grow\"\n");
  r.engine.ScriptFileName = path;
  EXPECT_FALSE(r.engine.read_ini());
  EXPECT_EQ(r.host.messages, (Messages{"grow", "Error! Script file " + path +
                                                   " is larger than 1048576 bytes. Exiting script."}));
}

TEST(ScriptReader, ALineLongerThanTheRunnerHoldsEndsTheReadingBeforeItRuns) {
  const std::string fits = "_DM \"" + std::string(199 - 6, 'x') + "\"";
  ASSERT_EQ(fits.size(), 199u);
  ScriptRig ok;
  EXPECT_TRUE(ok.Read(fits + "\r\n"));  // the CR of a CR LF does not count
  EXPECT_EQ(ok.host.messages.size(), 1u);

  ScriptRig r;
  EXPECT_FALSE(r.Read("_DM \"a\"\n\n_SC \"" + std::string(300, 'y') + "\"\n_DM \"after\"\n"));
  EXPECT_EQ(r.host.messages,
            (Messages{"a", "Error! Script line 3 is too long. Exiting script."}));
  EXPECT_TRUE(r.port.Puts().empty());
  EXPECT_EQ(r.host.statusTexts.back(), " ");
}

TEST(ScriptReader, MoreCommandLinesThanRowsEndTheReading) {
  std::string script;
  for (int i = 0; i < 300; ++i) script += "_DY 0\n";
  ScriptRig ok;
  EXPECT_TRUE(ok.Read(script));
  EXPECT_TRUE(ok.host.messages.empty());

  ScriptRig r;
  EXPECT_FALSE(r.Read("; header\n" + script + "_DM \"301st\"\n"));
  EXPECT_EQ(r.host.messages,
            Messages{"Error! Script line 302 is beyond the 300 command lines one reading can "
                     "hold. Exiting script."});
  EXPECT_EQ(r.engine.ScriptRow, 300);

  // A test whose condition holds takes two rows.
  ScriptRig two;
  std::string tests;
  for (int i = 0; i < 150; ++i) tests += "_CE \"\" _DY 0\n";
  EXPECT_FALSE(two.Read(tests + "_DM \"151st\"\n"));
  EXPECT_EQ(two.host.messages.size(), 1u);
  EXPECT_NE(two.host.messages[0].find("line 151 is beyond"), std::string::npos);
}

TEST(ScriptReader, ClearScriptEmptiesTheTable) {
  ScriptRig r;
  EXPECT_TRUE(r.Read("_DY 0\n_DY 0\n"));
  EXPECT_EQ(r.engine.ScriptRow, 2);
  r.engine.ClearScript();
  EXPECT_EQ(r.engine.ScriptRow, 0);
  EXPECT_EQ(r.engine.ScriptColumn, 0);
  EXPECT_EQ(r.engine.ScriptLines[0][0], '\0');
}

}  // namespace
}  // namespace zarnik
