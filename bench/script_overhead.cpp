// How long a script takes beyond the waits its commands prescribe, per command line.
//
// Two measurements:
//  1. Real time (ConsoleHost) against a port that answers at once: the elapsed time
//     minus the sleeps the commands are made of (_SC 200 ms, _TC 100 ms, _DY n x 10
//     ms, _LD 500 + 50 ms + the pause) is what the runner itself costs, including
//     oversleeping.
//  2. Virtual time against the simulated unit: all waits cost nothing, so the wall
//     time is the cost of reading, decoding, the channel and the unit model.
// Usage: zarnik_bench_script [repeats]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "fake_port.h"
#include "platform/console_host.h"
#include "script/script_engine.h"

namespace zarnik {
namespace {

// A port whose unit answers every prompt wait at once and drains instantly.
class InstantPort : public PortContract {
 public:
  void SetComNumber(uint16_t) override {}
  uint16_t GetComNumber() const override { return 1; }
  void SetBaud(int32_t) override {}
  int32_t GetBaud() const override { return 115200; }
  void SetParity(TParity) override {}
  TParity GetParity() const override { return pNone; }
  void SetDataBits(uint16_t) override {}
  uint16_t GetDataBits() const override { return 8; }
  void SetStopBits(uint16_t) override {}
  uint16_t GetStopBits() const override { return 1; }
  void SetOpen(bool) override {}
  bool GetOpen() const override { return true; }
  void PutChar(char) override { ++bytes; }
  void PutString(std::string_view s) override { bytes += s.size(); }
  void PutBlock(const void*, uint16_t len) override { bytes += len; }
  uint16_t GetOutBuffFree() override { return 4096; }
  uint16_t GetOutBuffUsed() override { return 0; }
  bool GetCTS() override { return true; }
  void FlushInBuffer() override {}
  void FlushOutBuffer() override {}
  void GetBlock(void*, uint16_t) override {}
  bool WaitForString(std::string_view, int32_t, bool, bool) override { return true; }
  void EndWait() override {}
  size_t bytes = 0;
};

std::string WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
  return p.string();
}

struct Script {
  std::string text;
  int lines = 0;
  uint64_t prescribedMs = 0;
  void Add(const std::string& line, uint64_t ms) {
    text += line + "\n";
    ++lines;
    prescribedMs += ms;
  }
};

Script RealTimeScript(const std::string& fw, int repeats) {
  Script s;
  s.Add("_LP 1", 0);
  for (int i = 0; i < repeats; ++i) {
    s.Add("_TC \"^M\"", 100);
    s.Add("_SC \"STAT\"", 200);
    s.Add("_DY 10", 100);
    s.Add("_DM \"note\"", 0);
    s.Add("_LF " + fw, 0);
    s.Add("_LA 8000", 0);
    s.Add("_LV date", 0);
    s.Add("_LD", 500 + 50 + 1000);
  }
  return s;
}

void RealTime(const std::string& dir, int repeats) {
  std::ostringstream sink;
  ConsoleHostOptions options;
  options.out = &sink;
  options.showStatus = false;
  ConsoleHost host(options);
  InstantPort port;
  ProgressModel progress(host);
  CommandChannel ch(host, port, progress.Cancelled);
  ch.LinkMode = kLinkRs232;
  ScriptEngine engine(host, ch, progress);
  std::string fw = WriteFile(std::filesystem::path(dir) / "fw.bin", std::string(4001, 'x'));
  Script s = RealTimeScript(fw, repeats);
  engine.ScriptFileName = WriteFile(std::filesystem::path(dir) / "real.sld", s.text);
  auto t0 = std::chrono::steady_clock::now();
  bool ok = engine.read_ini();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  double beyond = ms - static_cast<double>(s.prescribedMs);
  std::printf("real time:    %d lines, %.1f ms elapsed, %llu ms prescribed, %.3f ms per line beyond%s\n",
              s.lines, ms, static_cast<unsigned long long>(s.prescribedMs), beyond / s.lines,
              ok ? "" : " (script failed)");
}

void VirtualTime(const std::string& dir, int repeats) {
  VirtualHost host;
  sim::SimUnit unit;
  testing::FakePort port(host, unit);
  port.SetOpen(true);
  port.SetDrainBytesPerMs(11.52);  // 115200 baud
  ProgressModel progress(host);
  CommandChannel ch(host, port, progress.Cancelled);
  ch.LinkMode = kLinkRs232;
  ScriptEngine engine(host, ch, progress);
  std::string fw = WriteFile(std::filesystem::path(dir) / "fw.bin", std::string(4001, 'x'));
  Script s;
  s.Add("_TC \"^M\"", 0);
  for (int i = 0; i < repeats; ++i) {
    s.Add("_SC \"STAT\"", 0);
    s.Add("_QC \"VER\"", 0);
    s.Add("_CS \"FW 2.13\" _DY 1", 0);
    s.Add("_LF " + fw, 0);
    s.Add("_LA 8000", 0);
    s.Add("_LV V1", 0);
    s.Add("_LD", 0);
  }
  engine.ScriptFileName = WriteFile(std::filesystem::path(dir) / "virtual.sld", s.text);
  auto t0 = std::chrono::steady_clock::now();
  bool ok = engine.read_ini();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("virtual time: %d lines, %.1f ms wall (%.1f s virtual), %.3f ms per line%s\n",
              s.lines, ms, host.NowMs() / 1000.0, ms / s.lines,
              ok && !progress.Cancelled ? "" : " (script failed)");
}

}  // namespace
}  // namespace zarnik

int main(int argc, char** argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  if (repeats < 1 || repeats > 36) repeats = 5;  // 8 lines each within the 300 rows
  auto dir = std::filesystem::temp_directory_path() / ("zarnik_bench_script_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  zarnik::RealTime(dir.string(), repeats);
  zarnik::VirtualTime(dir.string(), repeats);
  std::filesystem::remove_all(dir);
}
