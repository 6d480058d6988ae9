// zarnik-cli check: the real program over scripts on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "process.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;
using zarnik::testing::WriteFile;

struct Check : ::testing::Test {
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zarnik-check-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "fw");
    WriteFile(dir / "fw" / "app.bin", "abc");
  }
  void TearDown() override { fs::remove_all(dir); }
  // Runs zarnik-cli check in workDir; its exit status.
  int RunCheck(const std::string& script, const fs::path& workDir) {
    Process cli(ZARNIK_CLI_PATH, {"check", script}, workDir.string());
    int status = cli.Wait(20000);
    out = cli.Stdout();
    err = cli.Stderr();
    return status;
  }
  fs::path dir;
  std::string out, err;
};

TEST_F(Check, TheExampleScriptIsClean) {
  // Its file names are relative to the repository's top folder, where it is run from.
  EXPECT_EQ(RunCheck("examples/demo.sld", ZARNIK_SOURCE_DIR), 0) << out << err;
  EXPECT_EQ(out, "examples/demo.sld: no problems found\n");
  // From elsewhere its files are not there, and check says so.
  EXPECT_EQ(RunCheck(fs::path(ZARNIK_SOURCE_DIR) / "examples" / "demo.sld", dir), 1);
  EXPECT_NE(out.find("demo.sld:13: _LF: cannot open examples/firmware/empty.bin"),
            std::string::npos)
      << out;
}

TEST_F(Check, ReportsEachProblemWithItsLineAndExitsOne) {
  WriteFile(dir / "bad.sld",
            "; a script with one of each\n"
            "_XY 1\n"
            "LF fw/app.bin\n"
            "_DM \"unclosed\" \n"
            "_SC \"" +
                std::string(200, 'x') +
                "\"\n"
                "_LF fw/missing.bin\n"
                "_LF fw/app.bin\n"
                "_LD\n"
                "_CS \"x\" _LA 8000\n"
                "_LP 0\n");
  EXPECT_EQ(RunCheck("bad.sld", dir), 1) << err;
  const char* expected[] = {
      "bad.sld:2: unknown command _XY\n",
      "bad.sld:3: line is skipped",
      "bad.sld:4: _DM: the quoted text does not close on the last character",
      "bad.sld:5: command line is 206 characters long",
      "bad.sld:6: _LF: cannot open fw/missing.bin",
      "bad.sld:8: _LD is skipped",
      "bad.sld:10: warning: _LP 0 keeps the pause",
      "bad.sld: 6 problems, 1 warning\n",
  };
  for (const char* line : expected)
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;

  // Warnings alone do not fail the check.
  WriteFile(dir / "warn.sld", "_LF fw/app.bin\n_LA 8000\n_LV V1\n_LP 0\n_LD\n");
  EXPECT_EQ(RunCheck("warn.sld", dir), 0) << out;
  EXPECT_NE(out.find("warn.sld: 0 problems, 1 warning"), std::string::npos) << out;
}

TEST_F(Check, AScriptThatCannotBeReadExitsTwo) {
  ASSERT_EQ(mkfifo((dir / "fifo.sld").c_str(), 0600), 0);
  for (const char* script : {"missing.sld", "fifo.sld", "fw"}) {
    EXPECT_EQ(RunCheck(script, dir), 2) << script;
    EXPECT_NE(err.find("cannot read script"), std::string::npos) << err;
    EXPECT_EQ(out, "");
  }
  Process noScript(ZARNIK_CLI_PATH, {"check"});
  EXPECT_EQ(noScript.Wait(20000), 2);
}

}  // namespace
}  // namespace zarnik::e2e
