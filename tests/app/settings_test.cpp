// The settings file "LoaderDefault.ini": positions, valid values, its one message.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/virtual_host.h"

namespace zarnik {
namespace {

struct SettingsFile {
  SettingsFile() : path("/tmp/zarnik_settings_" + std::to_string(::getpid()) + ".ini") {}
  ~SettingsFile() { std::remove(path.c_str()); }
  LoaderDefaults Read(const std::string& text, LoaderDefaults current = {}) {
    std::ofstream(path, std::ios::binary) << text;
    return read_defaults(path, host, current);
  }
  std::string path;
  VirtualHost host;
};

// n settings lines with "k=" and the given values at their positions.
std::string Positions(std::initializer_list<std::pair<int, std::string>> values, int upTo = 24) {
  std::string text;
  for (int p = 1; p <= upTo; ++p) {
    std::string value;
    for (const auto& [pos, v] : values)
      if (pos == p) value = v;
    text += "k" + std::to_string(p) + "=" + value + "\n";
  }
  return text;
}

TEST(Settings, MissingFileChangesNothingSilently) {
  SettingsFile f;
  LoaderDefaults current;
  current.DefaultComPort = 2;
  LoaderDefaults s = read_defaults("/nonexistent/LoaderDefault.ini", f.host, current);
  EXPECT_FALSE(s.FileFound);
  EXPECT_EQ(s.DefaultComPort, 2);
  EXPECT_EQ(s.LoaderModeCmd, "LOADR\r");
  EXPECT_TRUE(f.host.messages.empty());
}

// Nothing here may make the start wait or read without end: the file is not used,
// the operator is told, and the settings stay as they were.
TEST(Settings, AFileThatIsNotRegularOrTooLargeIsRefusedWithANote) {
  SettingsFile f;
  const std::string fifo = f.path + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(f.path, std::ios::binary) << "k1=COM2\n";
  std::filesystem::resize_file(f.path, kSettingsMaxBytes + 1);
  struct Case {
    std::string path;
    std::string note;
  } cases[] = {
      {fifo, fifo + ": not a regular file; none of its settings are used"},
      {"/dev/zero", "/dev/zero: not a regular file; none of its settings are used"},
      {f.path, f.path + ": larger than 1048576 bytes; none of its settings are used"},
  };
  for (const auto& c : cases) {
    LoaderDefaults current;
    current.DefaultComPort = 1;
    LoaderDefaults s = read_defaults(c.path, f.host, current);
    EXPECT_FALSE(s.FileFound) << c.path;
    EXPECT_EQ(s.DefaultComPort, 1) << c.path;
    EXPECT_EQ(s.Refused, std::vector<std::string>{c.note});
    EXPECT_EQ(ReadBrandCode(c.path), std::nullopt) << c.path;
  }
  std::remove(fifo.c_str());
  // Up to the limit it is read: comments do not count against the settings.
  std::string text = "k1=COM2\n";
  text += std::string(kSettingsMaxBytes - text.size() - 8, ';') + "\nk2=9600";
  ASSERT_EQ(text.size(), kSettingsMaxBytes);
  LoaderDefaults s = f.Read(text);
  EXPECT_TRUE(s.FileFound);
  EXPECT_EQ(s.DefaultComPort, 2);
  EXPECT_EQ(s.Baud, 9600);
}

TEST(Settings, OnlySettingsLinesTakePositions) {
  SettingsFile f;
  auto s = f.Read("[Loader]\r\n\r\n; comment\r\nPort=COM2\r\nno equals sign\r\nData=7\r\nParity=2");
  EXPECT_EQ(s.DefaultComPort, 2);  // the fourth line is position 1
  EXPECT_FALSE(s.Baud);            // position 2 has no "=": the baud stays as it is
  EXPECT_EQ(s.DataBits, 7);        // position 3
  EXPECT_EQ(s.Parity, pEven);      // a last line without a line end counts
  EXPECT_EQ(s.SettingsLines, 4);
}

TEST(Settings, PositionValues) {
  struct Case {
    int position;
    std::string value;
    std::function<bool(const LoaderDefaults&)> holds;
  } cases[] = {
      {1, "COM2", [](auto& s) { return s.DefaultComPort == 2; }},
      {1, "x0x12y", [](auto& s) { return s.DefaultComPort == 12; }},
      {1, "none", [](auto& s) { return s.DefaultComPort == 0; }},
      {2, "9600 baud", [](auto& s) { return s.Baud == 9600; }},
      {2, " 115200", [](auto& s) { return s.Baud == 115200; }},
      {3, "9", [](auto& s) { return !s.DataBits; }},
      {4, "odd", [](auto& s) { return s.Parity == pNone; }},  // no digits read as 0
      {4, "5", [](auto& s) { return !s.Parity; }},
      {5, "2", [](auto& s) { return s.StopBits == 2; }},
      {5, "3", [](auto& s) { return !s.StopBits; }},
      {6, "  scripts/auto.sld ", [](auto& s) { return s.AutoScriptPath == "scripts/auto.sld "; }},
      {8, "auto matic", [](auto& s) { return s.AutomaticMode; }},
      {8, "AUTOMATIC;x", [](auto& s) { return !s.AutomaticMode; }},
      {14, "  $", [](auto& s) { return s.PromptChar1 == '$'; }},
      {15, "", [](auto& s) { return s.PromptChar2 == '>'; }},  // empty: the default stays
      {19, " BOOT", [](auto& s) { return s.LoaderModeCmd == "BOOT\r"; }},
      {19, "", [](auto& s) { return s.LoaderModeCmd == "LOADR\r"; }},
      {20, "0", [](auto& s) { return s.TerminalVisible == false; }},
      {20, "2", [](auto& s) { return !s.TerminalVisible; }},
      {21, "4", [](auto& s) { return s.TerminalBackground == tcBlue; }},
      {22, "6", [](auto& s) { return !s.TerminalTextColour; }},
      {23, "2", [](auto& s) { return s.BrandCode == 2; }},
      {24, "  LK", [](auto& s) { return s.LoadCmdWord == "LK"; }},
  };
  for (const auto& c : cases) {
    SettingsFile f;
    auto s = f.Read(Positions({{c.position, c.value}}));
    EXPECT_TRUE(c.holds(s)) << "position " << c.position << " = '" << c.value << "'";
  }
}

TEST(Settings, InvalidBaudIsShownAndReadingGoesOn) {
  SettingsFile f;
  auto s = f.Read(Positions({{2, "9601"}, {3, "7"}}));
  EXPECT_EQ(f.host.messages,
            std::vector<std::string>{"Error! Baud Rate set in INI file is invalid!"});
  EXPECT_FALSE(s.Baud);
  EXPECT_EQ(s.DataBits, 7);
}

TEST(Settings, ReadingStopsAfterTheTwentyNinthSettingsLine) {
  SettingsFile f;
  std::string text = Positions({{2, "9600"}}, 29);
  for (int p = 30; p <= 40; ++p) text += "k=9601\n";  // would show the baud message at 2
  auto s = f.Read(text);
  EXPECT_EQ(s.SettingsLines, 29);
  EXPECT_TRUE(f.host.messages.empty());
}

// Numbers and the automatic word are read from what the 20-character field kept;
// texts that do not fit are kept unchanged with a note, never cut.
TEST(Settings, ValuesLongerThanTheirFields) {
  struct Case {
    int position;
    std::string value;
    std::function<bool(const LoaderDefaults&)> holds;
    int overLimit;  // the limit named in the note, 0: no note
  } cases[] = {
      {2, "9600   ; bench unit rate", [](auto& s) { return s.Baud == 9600; }, 0},
      {3, "7" + std::string(30, ' ') + "8", [](auto& s) { return s.DataBits == 7; }, 0},
      {8, "automatic" + std::string(10, ' ') + "; on", [](auto& s) { return s.AutomaticMode; }, 0},
      {19, std::string(18, 'L'),
       [](auto& s) { return s.LoaderModeCmd == std::string(18, 'L') + "\r"; }, 0},
      {19, std::string(19, 'L'), [](auto& s) { return s.LoaderModeCmd == "LOADR\r"; }, 18},
      {24, std::string(19, 'W'), [](auto& s) { return s.LoadCmdWord == std::string(19, 'W'); }, 0},
      {24, "LK      ; the K word", [](auto& s) { return s.LoadCmdWord == "LF"; }, 19},
      {6, std::string(200, 'p'), [](auto& s) { return s.AutoScriptPath.empty(); }, 199},
      {3, "7" + std::string(300, ' '), [](auto& s) { return !s.DataBits; }, 299},
  };
  for (const auto& c : cases) {
    SettingsFile f;
    auto s = f.Read(Positions({{c.position, c.value}}));
    EXPECT_TRUE(c.holds(s)) << "position " << c.position << " = '" << c.value << "'";
    EXPECT_EQ(s.SettingsLines, 24);  // an overlong line keeps its position
    std::vector<std::string> notes;
    if (c.overLimit)
      notes.push_back(f.path + ": setting " + std::to_string(c.position) + " is longer than " +
                      std::to_string(c.overLimit) + " characters; ignored");
    EXPECT_EQ(s.Refused, notes);
  }
}

}  // namespace
}  // namespace zarnik

namespace zarnik {
namespace {

TEST(Settings, BrandCodeAloneReadsOnlyPosition23) {
  SettingsFile f;
  struct Case {
    std::string text;
    std::optional<int32_t> expected;
  };
  const Case cases[] = {
      {Positions({{23, "100"}}), 100},
      {Positions({{23, "  5 trailing"}}), 5},
      {Positions({{23, "letters"}}), 0},  // no digits read as 0
      {Positions({}, 22), std::nullopt},  // position 23 absent
      {Positions({}, 22) + "no equals sign\n", std::nullopt},
      // Another position's fault is not this reader's business: no message.
      {Positions({{2, "9601"}, {23, "0"}}), 0},
  };
  for (const auto& c : cases) {
    std::ofstream(f.path, std::ios::binary) << c.text;
    EXPECT_EQ(ReadBrandCode(f.path), c.expected) << c.text;
  }
  EXPECT_FALSE(ReadBrandCode("/nonexistent/LoaderDefault.ini"));
  EXPECT_TRUE(f.host.messages.empty());
}

// A settings text read from a stream reads exactly as the same text in the file.
TEST(Settings, StreamReadsLikeTheFile) {
  const std::string texts[] = {
      Positions({{1, "COM2"}, {2, "9600"}, {19, "BOOT"}, {23, "1"}, {24, "LK"}}),
      Positions({{2, "1234"}, {19, std::string(30, 'L')}}),
      "",
  };
  for (const auto& text : texts) {
    SettingsFile f;
    const LoaderDefaults fromFile = f.Read(text);
    std::istringstream in(text);
    VirtualHost host;
    const LoaderDefaults fromStream = read_defaults(in, f.path, host);
    EXPECT_EQ(fromStream.DefaultComPort, fromFile.DefaultComPort);
    EXPECT_EQ(fromStream.Baud, fromFile.Baud);
    EXPECT_EQ(fromStream.LoaderModeCmd, fromFile.LoaderModeCmd);
    EXPECT_EQ(fromStream.LoadCmdWord, fromFile.LoadCmdWord);
    EXPECT_EQ(fromStream.BrandCode, fromFile.BrandCode);
    EXPECT_EQ(fromStream.Refused, fromFile.Refused);
    EXPECT_EQ(fromStream.SettingsLines, fromFile.SettingsLines);
    EXPECT_EQ(host.messages, f.host.messages);
    std::istringstream brandIn(text);
    EXPECT_EQ(ReadBrandCode(brandIn, f.path), fromFile.BrandCode);
  }
  std::istringstream failed;
  failed.setstate(std::ios::failbit);
  VirtualHost host;
  EXPECT_FALSE(read_defaults(failed, "LoaderDefault.ini", host).FileFound);
}

// The installed sample explains each position in a comment "; N: ..." above it: each
// such comment must sit above setting N, and the file must read as the defaults.
TEST(Settings, TheCommentedSampleIsReadAsItsCommentsSay) {
  const std::string path = std::string(ZARNIK_SOURCE_DIR) + "/examples/LoaderDefault.ini";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  int position = 0;
  int named = 0;
  int commented = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '[') continue;
    if (line[0] == ';') {
      if (line.size() > 2 && std::isdigit(static_cast<unsigned char>(line[2])))
        named = std::stoi(line.substr(2));
      continue;
    }
    ++position;
    if (named != 0) {
      EXPECT_EQ(named, position) << line;
      ++commented;
      named = 0;
    }
  }
  EXPECT_EQ(position, 24);
  EXPECT_GE(commented, 17);  // every position or group of positions is named

  VirtualHost host;
  const LoaderDefaults s = read_defaults(path, host);
  EXPECT_EQ(s.SettingsLines, 24);
  EXPECT_TRUE(s.Refused.empty());
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(s.DefaultComPort, 1);
  EXPECT_EQ(s.Baud, 38400);
  EXPECT_EQ(s.DataBits, 8);
  EXPECT_EQ(s.Parity, pNone);
  EXPECT_EQ(s.StopBits, 1);
  EXPECT_EQ(s.AutoScriptPath, "");
  EXPECT_FALSE(s.AutomaticMode);
  EXPECT_EQ(s.PromptChar1, '#');
  EXPECT_EQ(s.PromptChar2, '>');
  EXPECT_EQ(s.LoaderModeCmd, "LOADR\r");
  EXPECT_EQ(s.TerminalVisible, true);
  EXPECT_EQ(s.TerminalBackground, tcDefault);
  EXPECT_EQ(s.TerminalTextColour, tcDefault);
  EXPECT_EQ(s.BrandCode, 0);
  EXPECT_EQ(s.LoadCmdWord, "LF");
}

}  // namespace
}  // namespace zarnik
