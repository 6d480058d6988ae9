// A script engine on virtual time, wired through the fake port to the simulated
// unit, with scratch files for scripts and firmware.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_port.h"
#include "link/command_channel.h"
#include "platform/virtual_host.h"
#include "script/progress_model.h"
#include "script/script_engine.h"

namespace zarnik::testing {

// A fresh folder per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("zarnik_script_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
    std::filesystem::create_directories(dir_);
  }
  ~ScratchDir() { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

// The bytes of each put, in order.
inline std::vector<std::string> Bytes(const std::vector<FakePort::Chunk>& puts) {
  std::vector<std::string> out;
  for (const auto& p : puts) out.push_back(p.bytes);
  return out;
}

struct ScriptRig {
  explicit ScriptRig(sim::SimUnitOptions options = {})
      : unit(options), port(host, unit), progress(host), ch(host, port, progress.Cancelled),
        engine(host, ch, progress) {
    port.SetOpen(true);
    ch.LinkMode = kLinkRs232;
    // Fast enough that big files take little real time, slow enough to drain in steps.
    port.SetDrainBytesPerMs(40);
  }
  // Runs a script text through the reader.
  bool Read(const std::string& text) {
    engine.ScriptFileName = files.Write("script" + std::to_string(++scripts) + ".sld", text);
    return engine.read_ini();
  }
  // Brings the unit into loader mode behind the script's back; returns the index
  // of the next put, so a test can look at what the script sends from there on.
  size_t UnitInLoader() {
    ch.ExpectedPrompt = '>';
    ch.PromptTimeout = 65;
    if (!ch.SendCOMCmd_GetPrompt("LOADR\r")) throw std::runtime_error("unit not in loader mode");
    return port.Puts().size();
  }
  // Puts (time, bytes) from index `from` on.
  std::vector<FakePort::Chunk> PutsFrom(size_t from) const {
    return {port.Puts().begin() + static_cast<long>(from), port.Puts().end()};
  }

  VirtualHost host;
  sim::SimUnit unit;
  FakePort port;
  ProgressModel progress;
  CommandChannel ch;
  ScriptEngine engine;
  ScratchDir files;
  int scripts = 0;
};

}  // namespace zarnik::testing
