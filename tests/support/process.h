// Child processes for the end-to-end tests: start a program with arguments,
// read its output, signal it, wait for its exit status with a bound.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

namespace zarnik::testing {

// Whole files in and out, byte for byte, for the images and scripts the tests share
// with the programs they start.
inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary) << data;
}

class Process {
 public:
  // Starts program with args; stdout and stderr are captured separately. The child
  // has only stdio open, and gets SIGTERM when the thread that started it ends.
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& workDir = "");
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads stdout until a full line arrives ("" when timeoutMs passes or stdout
  // ends first).
  std::string ReadLine(int timeoutMs);
  void Signal(int sig);
  // Waits for the exit; returns the exit status, 128+signal, or -1 on time-out.
  int Wait(int timeoutMs);
  pid_t Pid() const { return pid_; }  // -1 when it could not be started
  const std::string& Stdout() { Drain(); return out_; }
  const std::string& Stderr() { Drain(); return err_; }
  // Waits until stderr contains text, or timeoutMs passes.
  bool WaitForStderr(const std::string& text, int timeoutMs);

 private:
  void Drain(int timeoutMs = 0);
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
  size_t outRead_ = 0;
  int status_ = -1;
  bool outEnded_ = false;
};

// n pseudo-random bytes, the same for the same seed (file images for a unit to load).
std::string RandomBytes(size_t n, unsigned seed);

// Polls for a condition that another process brings about, for at most timeoutMs.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

}  // namespace zarnik::testing
