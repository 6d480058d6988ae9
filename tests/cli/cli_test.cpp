// The command line's own rules: options, and the transcript's exact form.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/cli_options.h"
#include "cli/transcript.h"

namespace zarnik {
namespace {

std::optional<CliOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string e;
  auto o = ParseCliOptions(args, e);
  if (error) *error = e;
  return o;
}

TEST(CliOptions, RunTakesAScriptAndItsOptions) {
  auto o = Parse({"run", "load.sld", "--com", "2", "--baud", "115200", "--quiet", "--transcript",
                  "t.log", "--settings", "other.ini"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->command, CliOptions::Command::kRun);
  EXPECT_EQ(o->scriptPath, "load.sld");
  EXPECT_EQ(o->comNumber, 2);
  EXPECT_EQ(o->baud, 115200);
  EXPECT_TRUE(o->quiet);
  EXPECT_EQ(o->transcriptPath, "t.log");
  EXPECT_EQ(o->settingsPath, "other.ini");

  auto d = Parse({"run", "load.sld"});
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->comNumber);
  EXPECT_FALSE(d->baud);
  EXPECT_EQ(d->settingsPath, "LoaderDefault.ini");
  EXPECT_FALSE(d->noProbe);
  EXPECT_TRUE(Parse({"run", "load.sld", "--no-probe", "--port", "/dev/ttyUSB0"})->noProbe);
  EXPECT_TRUE(Parse({"run", "load.sld", "--pci", "--baud", "9600"})->pci);

  auto s = Parse({"run", "demo.sld", "--simulate", "--sim-wrong-checksum", "--sim-baud", "9600"});
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->simulate && s->simWrongChecksum);
  EXPECT_EQ(s->simBaud, 9600u);
}

TEST(CliOptions, CheckAndPortsKeepTheirArgumentsForThemselves) {
  auto c = Parse({"check", "demo.sld", "--help"});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->command, CliOptions::Command::kCheck);
  EXPECT_EQ(c->commandArgs, (std::vector<std::string>{"demo.sld", "--help"}));
  auto p = Parse({"ports"});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command, CliOptions::Command::kPorts);
  EXPECT_TRUE(p->commandArgs.empty());
}

TEST(CliOptions, HelpAtBothLevels) {
  EXPECT_EQ(Parse({"--help"})->command, CliOptions::Command::kHelp);
  EXPECT_EQ(Parse({"--version"})->command, CliOptions::Command::kVersion);
  EXPECT_TRUE(Parse({"run", "--help"})->helpForRun);
  EXPECT_NE(std::string(kCliRunUsage).find("--transcript"), std::string::npos);
}

TEST(CliOptions, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "no command"},
      {{"load"}, "unknown command 'load'"},
      {{"run"}, "needs a script"},
      {{"run", "a.sld", "b.sld"}, "more than one script"},
      {{"run", "a.sld", "--com"}, "--com needs a value"},
      {{"run", "a.sld", "--com", "0"}, "from 1 to 255"},
      {{"run", "a.sld", "--com", "2x"}, "'2x'"},
      {{"run", "a.sld", "--baud", "-5"}, "positive"},
      {{"run", "a.sld", "--com", "1", "--port", "/dev/ttyUSB0", "--com", "1"},
       "--com 1 is named twice"},
      {{"run", "a.sld", "--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB0"}, "named twice"},
      {{"run", "a.sld", "--unit-events", "x"}, "file descriptor"},
      {{"run", "a.sld", "--simulate", "--port", "/dev/ttyUSB0"}, "--simulate"},
      {{"run", "a.sld", "--sim-absent"}, "need --simulate"},
      {{"run", "a.sld", "--frobnicate"}, "unknown option '--frobnicate'"},
      {{"run", "a.sld", "--pci", "--com", "2"}, "--pci runs over the PCI boards"},
      {{"run", "a.sld", "--pci", "--port", "/dev/a", "--port", "/dev/b"}, "--pci runs over"},
      {{"run", "a.sld", "--simulate", "--com", "1", "--com", "2"}, "--simulate"},
      {{"run", "a.sld", "--simulate", "--pci"}, "--pci runs over the PCI boards"},
      {{"run", "a.sld", "--quiet=yes"}, "--quiet takes no value ('--quiet=yes')"},
      {{"run", "a.sld", "--baud=fast"}, "--baud needs a positive number, not 'fast'"},
      {{"run", "a.sld", "-p"}, "--port needs a value"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(Parse(c.args, &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(CliOptions, ShortAndEqualsFormsMeanTheLongOnes) {
  const std::vector<std::vector<std::string>> forms = {
      {"run", "a.sld", "--port", "/dev/ttyUSB0", "--baud", "115200", "--quiet", "--report", "-"},
      {"run", "a.sld", "-p", "/dev/ttyUSB0", "-b", "115200", "-q", "--report", "-"},
      {"run", "a.sld", "--port=/dev/ttyUSB0", "--baud=115200", "-q", "--report=-"},
  };
  for (const auto& args : forms) {
    auto o = Parse(args);
    ASSERT_TRUE(o) << args[2];
    EXPECT_EQ(o->portPath, "/dev/ttyUSB0");
    EXPECT_EQ(o->baud, 115200);
    EXPECT_TRUE(o->quiet);
    EXPECT_EQ(o->reportPath, "-");
  }
  EXPECT_TRUE(Parse({"run", "a.sld", "--no-check"})->noCheck);
  EXPECT_EQ(Parse({"run", "x=1.sld"})->scriptPath, "x=1.sld");
}

TEST(Transcript, BytesAreWrittenExactlyAndReadably) {
  const uint8_t bytes[] = {'L', 'F', ' ', '1', '\r', '\n', 0x00, 0xFF, '\\', 0x7F};
  EXPECT_EQ(Transcript::Escape(bytes, sizeof bytes), "LF 1\\r\\n\\x00\\xFF\\\\\\x7F");

  std::string path = ::testing::TempDir() + "zarnik-transcript-test.log";
  {
    Transcript t(path);
    ASSERT_TRUE(t.Ok());
    std::string block(100, 'a');
    t.Record(Transcript::Direction::kSent, reinterpret_cast<const uint8_t*>(block.data()), 100);
    t.Record(Transcript::Direction::kReceived, reinterpret_cast<const uint8_t*>(">"), 1);
  }
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find(" TX 100 bytes\n           | " + std::string(64, 'a') + "\n           | " +
                      std::string(36, 'a') + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" RX 1 byte\n           | >\n"), std::string::npos);
  std::remove(path.c_str());

  Transcript bad("/nonexistent-dir/x.log");
  EXPECT_FALSE(bad.Ok());
}

}  // namespace
}  // namespace zarnik
