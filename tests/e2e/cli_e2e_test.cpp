// zarnik-cli against zarnik-unit-sim on a pty: real programs, real time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "process.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace zarnik::e2e {
namespace {

using zarnik::testing::Process;
using zarnik::testing::RandomBytes;
using zarnik::testing::WaitFor;
using zarnik::testing::ReadFile;
using zarnik::testing::WriteFile;

// The end of a transcript: what the unit said last.
std::string Tail(const std::string& text) {
  return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

// A scratch folder with firmware files, a script loading them, and a unit on a pty.
struct Bench : ::testing::Test {
  void SetUp() override {
    dir = zarnik::testing::ScratchFolder("e2e");
    fs::create_directories(dir / "images");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Writes the files and a script that loads them in order.
  fs::path Script(const std::vector<std::string>& files, const std::string& tail = "") {
    std::string text = "; end-to-end\n_TC \"^M\"\n_LP 1\n";
    for (size_t i = 0; i < files.size(); ++i) {
      fs::path f = dir / ("file" + std::to_string(i) + ".bin");
      WriteFile(f, files[i]);
      text += "_LF " + f.string() + "\n_LA " + std::to_string(8000 + i) + "\n_LV V" +
              std::to_string(i) + "\n_LD\n";
    }
    text += tail;
    fs::path script = dir / "load.sld";
    WriteFile(script, text);
    return script;
  }

  std::unique_ptr<Process> StartUnit(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--save-images", (dir / "images").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto unit = std::make_unique<Process>(ZARNIK_UNIT_SIM_PATH, args);
    devicePath = unit->ReadLine(5000);
    EXPECT_FALSE(devicePath.empty()) << unit->Stderr();
    return unit;
  }

  std::unique_ptr<Process> StartCli(const fs::path& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"run", script.string(), "--port", devicePath, "--baud", "115200"};
    args.insert(args.end(), extra.begin(), extra.end());
    // The work folder has no settings file, so the defaults are in force.
    return std::make_unique<Process>(ZARNIK_CLI_PATH, args, dir.string());
  }

  fs::path dir;
  std::string devicePath;
};

TEST_F(Bench, LoadsEveryFileByteForByteAndSaysSo) {
  std::vector<std::string> files = {"", RandomBytes(1999, 1), RandomBytes(2000, 2),
                                    RandomBytes(4001, 3), RandomBytes(150000, 4)};
  fs::path script = Script(files, "_QC \"VER\"\n_CS \"FW 2.13\" _DM \"version ok\"\n");
  auto unit = StartUnit();
  auto cli = StartCli(script, {"--transcript", (dir / "wire.log").string()});
  ASSERT_EQ(cli->Wait(60000), 0) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("version ok"), std::string::npos)
      << cli->Stderr() << Tail(ReadFile(dir / "wire.log"));
  EXPECT_NE(cli->Stderr().find("Upload Complete."), std::string::npos);
  for (size_t i = 0; i < files.size(); ++i) {
    fs::path image = dir / "images" / ("image-" + std::to_string(i + 1) + ".bin");
    ASSERT_TRUE(fs::exists(image)) << image;
    EXPECT_TRUE(ReadFile(image) == files[i]) << "image " << i + 1 << " differs";
  }
  EXPECT_FALSE(fs::exists(dir / "images" / ("image-" + std::to_string(files.size() + 1) + ".bin")));
  std::string wire = ReadFile(dir / "wire.log");
  EXPECT_NE(wire.find("LF 8001 1999 "), std::string::npos);
  EXPECT_NE(wire.find("LOAD OK"), std::string::npos);
  unit->Signal(SIGTERM);
  EXPECT_EQ(unit->Wait(5000), 0);
}

TEST_F(Bench, AUnitThatRejectsTheLoadEndsUnsuccessful) {
  fs::path script = Script({RandomBytes(3000, 5)}, "_DM \"not reached\"\n");
  auto unit = StartUnit({"--wrong-checksum"});
  auto cli = StartCli(script);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  const std::string& err = cli->Stderr();
  // What the unit sent instead of its prompt is on the error line and in the verdict.
  const std::string said =
      "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script. (the "
      "unit answered \"CHECKSUM ERROR\")";
  EXPECT_NE(err.find(said + "\n"), std::string::npos) << err;
  EXPECT_NE(err.find("\nzarnik-cli: FAILED: " + said + "\n"), std::string::npos) << err;
  // A long prompt wait is announced, and Ctrl-C during one says it ends it, and does.
  EXPECT_NE(err.find("status: waiting up to "), std::string::npos) << err;
  auto stopped = StartCli(script);
  auto waitingAfterData = [&] {
    const std::string& e = stopped->Stderr();
    const size_t data = e.find("file: ");
    return data != std::string::npos && e.find("status: waiting up to ", data) != std::string::npos;
  };
  ASSERT_TRUE(WaitFor(waitingAfterData, 30000)) << stopped->Stderr();
  const auto stopAt = std::chrono::steady_clock::now();
  stopped->Signal(SIGINT);
  EXPECT_EQ(stopped->Wait(60000), 1) << stopped->Stderr();
  // The checks' three tries would take some 17 s; no further try, no error.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(6));
  EXPECT_NE(stopped->Stderr().find("stopping: the prompt wait ends now"), std::string::npos)
      << stopped->Stderr();
  EXPECT_EQ(stopped->Stderr().find("Unable to receive prompt after upload"), std::string::npos)
      << stopped->Stderr();
  EXPECT_NE(err.find("Unsuccessful.  Upload terminated by user."), std::string::npos);
  EXPECT_EQ(err.find("not reached"), std::string::npos);
}

// A file that cannot be opened is found before the port is; run anyway, the error it
// shows makes the verdict FAILED although the script's last word is "Upload Complete.".
TEST_F(Bench, AnErrorShownOnTheWayExitsWithOneThoughTheRunCompletes) {
  fs::path script = dir / "missing-file.sld";
  WriteFile(script, "_LF " + (dir / "absent.bin").string() + "\n_LA 8000\n_LV V1\n_LD\n");
  auto unit = StartUnit();
  auto checked = StartCli(script);
  EXPECT_EQ(checked->Wait(30000), 2) << checked->Stderr();
  EXPECT_NE(checked->Stderr().find("missing-file.sld:1: _LF: cannot open " +
                                   (dir / "absent.bin").string()),
            std::string::npos)
      << checked->Stderr();
  EXPECT_EQ(checked->Stderr().find("Established"), std::string::npos) << checked->Stderr();

  auto cli = StartCli(script, {"--no-check"});
  EXPECT_EQ(cli->Wait(30000), 1) << cli->Stderr();
  const std::string err = cli->Stderr();
  EXPECT_NE(err.find("Upload Complete.\nzarnik-cli: FAILED: Error! Unable to open file "),
            std::string::npos)
      << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(err.find('\n', err.rfind("zarnik-cli: FAILED: ")), err.size() - 1) << err;
}

// Why a port cannot be had is said by its cause, before anything is sent.
TEST_F(Bench, APortThatCannotBeUsedIsNamedByItsCause) {
  fs::path script = Script({RandomBytes(70000, 12)});
  auto unit = StartUnit({"--baud", "115200"});
  const fs::path link = dir / "same-unit";
  fs::create_symlink(devicePath, link);
  auto run = [&](std::vector<std::string> extra, const std::string& says) {
    std::vector<std::string> args = {"run", script.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    Process cli(ZARNIK_CLI_PATH, args, dir.string());
    EXPECT_EQ(cli.Wait(20000), 2) << cli.Stderr();
    EXPECT_NE(cli.Stderr().find(says), std::string::npos) << cli.Stderr();
  };
  // Held by a zarnik-cli that is loading the unit.
  auto first = StartCli(script);
  ASSERT_TRUE(first->WaitForStderr("Established communication on " + devicePath, 20000))
      << first->Stderr();
  run({"--port", devicePath}, "zarnik-cli: cannot open " + devicePath + ": held by " +
                                  std::to_string(first->Pid()) + " (zarnik-cli)");
  EXPECT_EQ(first->Wait(60000), 0) << first->Stderr();

  run({"--port", "/dev/null"}, "zarnik-cli: /dev/null is not a serial port");
  // A pseudo-terminal takes any rate (a custom one too), so a refused rate is left to the
  // serial layer's tests of RateRefused.
  run({"--port", devicePath, "--port", link.string()},
      "--port " + devicePath + " and --port " + link.string() + " name the same device");
}

TEST_F(Bench, APortTheUserMayNotOpenNamesTheDialoutGroup) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run zarnik-cli as another user";
  fs::path script = Script({RandomBytes(10, 13)});
  auto unit = StartUnit();
  fs::permissions(dir, fs::perms::all);
  Process cli("/usr/bin/setpriv",
              {"--reuid=65534", "--regid=65534", "--clear-groups", ZARNIK_CLI_PATH, "run",
               script.string(), "--port", devicePath},
              dir.string());
  EXPECT_EQ(cli.Wait(20000), 2) << cli.Stderr();
  EXPECT_NE(cli.Stderr().find("cannot open " + devicePath +
                              ": Permission denied (add your user to the dialout group: sudo "
                              "usermod -aG dialout $USER, then log in again)"),
            std::string::npos)
      << cli.Stderr();
}

// Into a pipe: the probe is announced, a long file's data gets progress lines, and
// --quiet leaves the verdict alone; --report - puts the record on stdout.
TEST_F(Bench, ProgressLinesInAPipeAndTheRecordOnStdout) {
  // Over 5 s of data at the unit's pace.
  fs::path script = Script({RandomBytes(120000, 14)});
  auto unit = StartUnit({"--baud", "115200"});
  auto cli = StartCli(script);
  EXPECT_EQ(cli->Wait(60000), 0) << cli->Stderr();
  const std::string err = cli->Stderr();
  EXPECT_NE(err.find("status: probing " + devicePath + " for the unit's prompt ..."),
            std::string::npos) << err;
  EXPECT_NE(err.find("/120000 bytes  "), std::string::npos) << err;
  EXPECT_NE(err.find("% "), std::string::npos) << err;

  auto quiet = StartCli(Script({RandomBytes(100, 15)}), {"-q", "--report", "-"});
  EXPECT_EQ(quiet->Wait(30000), 0) << quiet->Stderr();
  EXPECT_EQ(quiet->Stderr(), "zarnik-cli: completed\n");
  EXPECT_EQ(quiet->Stdout().rfind("{\"units\":[{", 0), 0u) << quiet->Stdout();
}

// The unit's side goes away in the middle of a file (a cable pulled): the run ends at
// once, naming the device, instead of waiting out its timers.
TEST_F(Bench, APulledCableMidFileEndsTheRunAtOnceNamingTheDevice) {
  fs::path script = Script({RandomBytes(100000, 8)}, "_DM \"not reached\"\n");
  // The probe, the _TC dialogue and the load line take well under 1000 bytes.
  auto unit = StartUnit({"--hang-up-after", "20000"});
  const auto start = std::chrono::steady_clock::now();
  auto cli = StartCli(script);
  EXPECT_EQ(cli->Wait(60000), 1) << cli->Stderr();
  const auto took = std::chrono::steady_clock::now() - start;
  // A bound far above the run and below its timers (a 14 s block wait, 4 s replies).
  EXPECT_LT(took, std::chrono::seconds(10));
  const std::string& err = cli->Stderr();
  const std::string lost = "Error! Serial port failure: " + devicePath + " was disconnected.";
  // Once as the message, once in the verdict.
  const size_t at = err.find("\n" + lost + "\n");
  EXPECT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find("\n" + lost, at + 1), std::string::npos) << "shown twice: " << err;
  EXPECT_NE(err.find("\nzarnik-cli: FAILED: " + lost + "\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Unsuccessful.  Upload terminated by user."), std::string::npos) << err;
  for (const char* never : {"not reached", "Timeout error", "Protocol error", "Upload Complete."})
    EXPECT_EQ(err.find(never), std::string::npos) << never << ": " << err;
  EXPECT_EQ(unit->Wait(5000), 0) << unit->Stderr();
}

// Gone before the script could start: nothing was started, as with no unit at all.
TEST_F(Bench, ACableThatGoesDuringTheProbeEndsWithTwoNamingTheDevice) {
  fs::path script = Script({RandomBytes(10, 9)});
  auto unit = StartUnit({"--hang-up-after", "1"});
  auto cli = StartCli(script);
  EXPECT_EQ(cli->Wait(30000), 2) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find(devicePath + " was disconnected."), std::string::npos)
      << cli->Stderr();
  EXPECT_EQ(unit->Wait(5000), 0) << unit->Stderr();
}

TEST_F(Bench, CtrlCStopsTheRunLikeTheStopButton) {
  // A paced unit makes the transfer long enough to interrupt.
  const std::string first = RandomBytes(60000, 6);
  fs::path script = Script({first, RandomBytes(100, 7)});
  auto unit = StartUnit({"--baud", "115200"});
  const fs::path wire = dir / "wire.log";
  auto cli = StartCli(script, {"--transcript", wire.string()});
  // Inside the first file's data: the transcript has bytes sent after its load line.
  auto dataSent = [&] {
    std::string text = ReadFile(wire);
    size_t load = text.find("| LF 8000 60000 ");
    return load != std::string::npos && text.find(" TX ", load) != std::string::npos;
  };
  ASSERT_TRUE(WaitFor(dataSent, 30000)) << cli->Stderr();
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(30000), 1) << cli->Stderr();
  EXPECT_NE(cli->Stderr().find("Unsuccessful.  Upload terminated by user."), std::string::npos);
  // The prompt check after the data still runs, and the unit answers it.
  EXPECT_EQ(cli->Stderr().find("Unable to receive prompt"), std::string::npos) << cli->Stderr();
  // The file being sent is finished, whole; the next one is never announced.
  EXPECT_EQ(ReadFile(dir / "images" / "image-1.bin"), first);
  EXPECT_FALSE(fs::exists(dir / "images" / "image-2.bin"));
}

// The settings file in zarnik-cli's folder names the port (by COM number), the
// rate, both prompts and the loader-mode command; an overlong load word is noted.
TEST_F(Bench, SettingsFileInTheWorkFolderIsUsed) {
  auto unit = StartUnit({"--monitor-prompt", "$", "--loader-prompt", "]", "--loader-cmd", "BOOT"});
  // Positions 3 to 24; 14 and 15 the prompts, 19 the loader-mode command, 24 the load word.
  const char* values[] = {"",  "",  "", "", "", "",     "", "", "", "", "",
                          "$", "]", "", "", "", "BOOT", "", "", "", "", "LF   ; the load word"};
  std::string ini = "[Port]\nComPort=COM7\nBaud=57600   ; bench unit rate\n";
  for (int p = 3; p <= 24; ++p) ini += "S" + std::to_string(p) + "=" + values[p - 3] + "\n";
  WriteFile(dir / "LoaderDefault.ini", ini);
  fs::path script = Script({RandomBytes(2500, 8)});
  ASSERT_EQ(setenv("ZARNIK_COM7", devicePath.c_str(), 1), 0);
  Process cli(ZARNIK_CLI_PATH,
              {"run", script.string(), "--transcript", (dir / "wire.log").string()}, dir.string());
  unsetenv("ZARNIK_COM7");
  EXPECT_EQ(cli.Wait(60000), 0) << cli.Stderr();
  EXPECT_NE(
      cli.Stderr().find("LoaderDefault.ini: setting 24 is longer than 19 characters; ignored"),
      std::string::npos)
      << cli.Stderr();
  std::string wire = ReadFile(dir / "wire.log");
  EXPECT_NE(wire.find(devicePath + " at 57600 baud"), std::string::npos) << wire.substr(0, 300);
  EXPECT_NE(wire.find("BOOT\\r"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "images" / "image-1.bin"));
}

TEST_F(Bench, UsageErrorsAndMissingThingsExitWithTwo) {
  // Neither may make zarnik-cli wait or read without end.
  const std::string fifo = (dir / "named.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path huge = dir / "huge.sld";
  WriteFile(huge, "_DM \"hi\"\n");
  fs::resize_file(huge, fs::file_size(huge) + (uint64_t{64} << 20));  // sparse
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"frobnicate"}, "unknown command"},
      {{"run"}, "needs a script"},
      {{"run", "x.sld", "--baud", "fast"}, "--baud"},
      {{"run", (dir / "missing.sld").string(), "--port", "/dev/null"}, "missing.sld"},
      {{"run", dir.string(), "--port", "/dev/null", "--no-probe"},
       "cannot open script " + dir.string()},
      {{"run", Script({}).string(), "--port", (dir / "no-such-tty").string()}, "no-such-tty"},
      {{"run", fifo, "--port", "/dev/null"}, "cannot open script " + fifo + ": not a regular file"},
      {{"run", "/dev/zero", "--port", "/dev/null"}, "/dev/zero: not a regular file"},
      {{"run", huge.string(), "--port", "/dev/null"}, "larger than 1048576 bytes"},
      {{"run", Script({}).string(), "--settings", fifo},
       "cannot read settings file " + fifo + ": not a regular file"},
      {{"run", Script({}).string(), "--settings", "/dev/zero"}, "/dev/zero: not a regular file"},
  };
  for (const auto& c : cases) {
    Process cli(ZARNIK_CLI_PATH, c.args, dir.string());
    EXPECT_EQ(cli.Wait(10000), 2) << c.args[0];
    EXPECT_NE(cli.Stderr().find(c.says), std::string::npos) << cli.Stderr();
  }
}

}  // namespace
}  // namespace zarnik::e2e
