// The main window's first show, automatic mode and the close query, on virtual
// time against simulated units on COM1 and COM2.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "com_bank.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ComBank;
using testing::FakeShellView;

constexpr uint64_t kWaitMs = kProbeTicks * kTickMs;

sim::SimUnitOptions Unit(bool answers) {
  sim::SimUnitOptions o;
  o.absent = !answers;
  return o;
}

struct Rig {
  Rig() : bank(host), core(host, bank, view, bank.Availability()) {
    dir = zarnik::testing::ScratchFolder("startup");
    core.Start.SettingsPath = (dir / "LoaderDefault.ini").string();
    core.Channel.LinkMode = kLinkRs232;
  }
  ~Rig() { fs::remove_all(dir); }

  // A settings file with these values at positions 1, 2, ... ("" sets nothing there).
  void Settings(const std::vector<std::string>& values) {
    std::ofstream out(core.Start.SettingsPath, std::ios::binary);
    out << "[Loader]\n";
    for (size_t i = 0; i < values.size(); ++i)
      out << "p" << i + 1 << (values[i].empty() ? "" : "=" + values[i]) << "\n";
  }
  // Automatic mode running this script.
  void Automatic(const std::string& script, const std::string& defaultPort = "") {
    fs::path path = dir / "auto.sld";
    std::ofstream(path, std::ios::binary) << script;
    std::vector<std::string> values(8);
    values[0] = defaultPort;
    values[5] = path.string();
    values[7] = "Automatic";
    Settings(values);
  }
  std::string LastStatus() const { return host.statusTexts.empty() ? "" : host.statusTexts.back(); }
  // Lets the window thread run its timers, as the message loop would.
  void RunLoop() {
    for (int i = 0; i < 10 && view.exitStatuses.empty(); ++i) host.WaitAndProcessMessages(10);
  }

  VirtualHost host;
  ComBank bank;
  FakeShellView view;
  ShellCore core;
  fs::path dir;
};

// ---- FormShow ----

TEST(FormShow, NoSettingsAndNoUnitLeavesTheButtonsOffAfterFourWaits) {
  Rig r;
  r.bank.AddLine(1, Unit(false));
  r.bank.AddLine(2, Unit(false));
  r.core.Start.FormShow();
  EXPECT_EQ(r.view.versionLabel, "Version : 1.06");
  EXPECT_EQ(r.LastStatus(),
            "Unable to open Hardware through COM ports. Select new COM port before proceeding");
  EXPECT_FALSE(r.host.scriptButtonsEnabled);
  EXPECT_FALSE(r.bank.GetOpen());
  EXPECT_EQ(r.bank.SentOn(1), "\r\r");
  EXPECT_EQ(r.bank.SentOn(2), "\r\r");
  // Four waits of 65 ticks, each ending within a tick of its length.
  EXPECT_GE(r.host.NowMs(), 4 * (kWaitMs - kTickMs));
  EXPECT_LE(r.host.NowMs(), 4 * (kWaitMs + kTickMs) + 100);
  EXPECT_EQ(r.view.lightsStarted, 1);
  EXPECT_TRUE(r.view.splashHidden);
  EXPECT_EQ(r.view.focusCalls, 1);
  EXPECT_TRUE(r.host.messages.empty());
  EXPECT_TRUE(r.view.exitStatuses.empty());
  EXPECT_FALSE(r.host.TimerEnabled(r.core.Start.JustUploadTimer));
}

TEST(FormShow, ProbesTheDefaultPortFirstThenComOneAndComTwo) {
  struct Case {
    const char* position1;  // default port in the settings file
    bool unit1, unit2;
    const char* sentOn1;
    const char* sentOn2;
    bool open;
    uint16_t number;
    const char* lastStatus;
  } cases[] = {
      {"COM2", true, true, "", "\r", true, 2, "Established communication on COM 2"},
      {"COM2", true, false, "\r", "\r\r", true, 1, "Established communication on COM 1"},
      {"COM1", false, true, "\r\r\r\r", "\r", true, 2, "Established communication on COM 2"},
      // Nobody answers: the default port is opened anyway, unprobed.
      {"2", false, false, "\r\r", "\r\r\r\r", true, 2,
       "Error opening Hardware via COM ports. Select new COM port/check RS232 connection "
       "before proceeding"},
      // A default port that does not exist is skipped like any other.
      {"COM7", false, true, "\r\r", "\r", true, 2, "Established communication on COM 2"},
  };
  for (const auto& c : cases) {
    Rig r;
    r.bank.AddLine(1, Unit(c.unit1));
    r.bank.AddLine(2, Unit(c.unit2));
    r.Settings({c.position1});
    r.core.Start.FormShow();
    EXPECT_EQ(r.bank.SentOn(1), c.sentOn1) << c.position1 << c.unit1 << c.unit2;
    EXPECT_EQ(r.bank.SentOn(2), c.sentOn2) << c.position1 << c.unit1 << c.unit2;
    EXPECT_EQ(r.bank.GetOpen(), c.open);
    EXPECT_EQ(r.bank.GetComNumber(), c.number);
    EXPECT_EQ(r.view.comNumberLabel, std::to_string(c.number));
    EXPECT_EQ(r.LastStatus(), c.lastStatus);
    EXPECT_TRUE(r.host.scriptButtonsEnabled);
  }
}

TEST(FormShow, AppliesTheSettingsBeforeProbing) {
  Rig r;
  sim::SimUnitOptions o;
  o.monitorPrompt = '@';
  r.bank.AddLine(1, o);
  std::vector<std::string> values(24);
  values[1] = "9600";
  values[13] = "@";
  values[14] = "]";
  values[18] = "BOOT";
  values[19] = "0";
  values[20] = "2";
  values[21] = "3";
  values[23] = "LK";
  r.Settings(values);
  r.core.Start.FormShow();
  EXPECT_LT(r.host.NowMs(), 200u);  // '@' answered the first wait
  EXPECT_EQ(r.bank.GetBaud(), 9600);
  EXPECT_EQ(r.view.comBaudLabel, "9600");
  EXPECT_EQ(r.core.Channel.PromptChar1, '@');
  EXPECT_EQ(r.core.Channel.PromptChar2, ']');
  EXPECT_EQ(r.core.Channel.LoaderModeCmd, "BOOT\r");
  EXPECT_EQ(r.core.Engine.LoadCmdWord, "LK");
  EXPECT_FALSE(r.view.terminalAreaShown);
  EXPECT_EQ(r.view.visibleClicks, 1);
  EXPECT_EQ(r.view.background, kColourRed);
  EXPECT_EQ(r.view.textColour, kColourGreen);
}

TEST(FormShow, TerminalVisibleOnlyTogglesWhenItDiffers) {
  for (bool shown : {false, true})
    for (const char* value : {"0", "1", "7"}) {
      Rig r;
      r.view.terminalAreaShown = shown;
      std::vector<std::string> values(20);
      values[19] = value;
      r.Settings(values);
      r.core.Start.FormShow();
      const bool want = value[0] == '7' ? shown : value[0] == '1';
      EXPECT_EQ(r.view.terminalAreaShown, want) << shown << value;
      EXPECT_LE(r.view.visibleClicks, 1);
    }
}

TEST(FormShow, ThePciLinkConnectsToTheBoardInsteadOfProbing) {
  Rig r;
  r.bank.AddLine(1);
  r.core.Channel.LinkMode = kLinkPci;
  int connects = 0;
  r.core.Start.ConnectToBoard = [&] { ++connects; };
  r.core.Start.FormShow();
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(r.bank.openCalls, 0);
  EXPECT_EQ(r.view.lightsStarted, 0);
  EXPECT_EQ(r.view.focusCalls, 0);
  EXPECT_TRUE(r.view.splashHidden);
}

// ---- Automatic mode ----

TEST(AutomaticMode, EndsWithZeroOnlyWhenTheScriptSucceeded) {
  struct Case {
    const char* script;
    bool neverLoader;
    int status;
  } cases[] = {
      {"_TC \"^M\"\n_DM \"loaded\"\n", false, 0},
      // The unit will not enter loader mode: _TC fails and the reading stops.
      {"_TC \"^M\"\n_DM \"not reached\"\n", true, 1},
      // A file that cannot be named shows its error while the run reads on to the end.
      {"_LF no-such-file.bin\n_DM \"read on\"\n", false, 1},
  };
  for (const auto& c : cases) {
    Rig r;
    sim::SimUnitOptions o;
    o.neverLoader = c.neverLoader;
    r.bank.AddLine(1, o);
    r.Automatic(c.script);
    r.core.Start.FormShow();
    EXPECT_EQ(r.view.windowEnabledChanges, (std::vector<bool>{false, true})) << c.script;
    ASSERT_GE(r.host.statusTexts.size(), 2u);
    EXPECT_EQ(r.host.statusTexts.back(), " ");
    EXPECT_NE(std::find(r.host.statusTexts.begin(), r.host.statusTexts.end(),
                        "Uploading file(s). Please wait...."),
              r.host.statusTexts.end());
    EXPECT_EQ(r.view.focusCalls, 0);
    EXPECT_TRUE(r.view.exitStatuses.empty()) << "ends only from its timer";
    EXPECT_TRUE(r.host.TimerEnabled(r.core.Start.JustUploadTimer));
    r.RunLoop();
    EXPECT_EQ(r.view.exitStatuses, std::vector<int>{c.status}) << c.script;
    EXPECT_TRUE(r.view.mainWindowHidden);
  }
}

TEST(AutomaticMode, NoPortOpenShowsTheErrorAndEndsWithOne) {
  for (const char* position1 : {"", "COM2"}) {
    Rig r;
    r.bank.AddLine(1, Unit(false));
    r.bank.AddLine(2, Unit(false));
    // A default port is no fallback for automatic mode.
    r.Automatic("_DM \"never\"\n", position1);
    r.core.Start.FormShow();
    EXPECT_EQ(r.host.messages,
              std::vector<std::string>{"Error!! COM port communication failed. Please check RS232 "
                                       "connection/INI settings. Exiting application"});
    EXPECT_FALSE(r.bank.GetOpen()) << position1;
    EXPECT_TRUE(r.view.windowEnabledChanges.empty());
    r.RunLoop();
    EXPECT_EQ(r.view.exitStatuses, std::vector<int>{1}) << position1;
  }
}

// ---- Closing ----

TEST(CloseQuery, AsksOnlyWhileAFileGoesOut) {
  struct Case {
    bool idle;
    bool automatic;
    bool yes;
    bool canClose;
    std::vector<int> exits;
    bool hidden;
  } cases[] = {
      {true, false, true, true, {}, false},
      {false, false, false, false, {}, false},
      {false, false, true, true, {0}, true},
      // Automatic mode cut off mid-file did not succeed, and its window stays as it is.
      {false, true, true, true, {1}, false},
  };
  for (const auto& c : cases) {
    Rig r;
    r.core.Start.Settings.AutomaticMode = c.automatic;
    r.core.Engine.UploadIdle = c.idle;
    r.core.Channel.ReplyPending = true;
    r.view.yesNoAnswers = {c.yes};
    EXPECT_EQ(r.core.Start.FormCloseQuery(), c.canClose);
    EXPECT_EQ(r.view.exitStatuses, c.exits);
    EXPECT_EQ(r.view.mainWindowHidden, c.hidden);
    if (c.idle) {
      EXPECT_TRUE(r.view.questions.empty());
      EXPECT_FALSE(r.core.Channel.ReplyPending);
    } else {
      EXPECT_EQ(r.view.questions,
                std::vector<std::string>{"Loader GUI : Confirm Exit|File upload in progress.\rAre "
                                         "you sure you want to cancel upload and exit the "
                                         "application?"});
    }
  }
}

TEST(TerminalColours, MenuWordsAndDefaults) {
  struct Case {
    TerminalColour c;
    uint32_t back, text;
  } cases[] = {
      {tcDefault, 0x000000, 0xC0C0C0}, {tcBlack, 0x000000, 0x000000}, {tcRed, 0x0000FF, 0x0000FF},
      {tcGreen, 0x008000, 0x008000},   {tcBlue, 0xFF0000, 0xFF0000},  {tcWhite, 0xFFFFFF, 0xFFFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BackgroundColourValue(c.c), c.back) << c.c;
    EXPECT_EQ(TextColourValue(c.c), c.text) << c.c;
  }
}

}  // namespace
}  // namespace zarnik
