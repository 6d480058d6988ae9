#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

namespace zarnik::testing {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workDir) {
  // Built before the fork: a child of a threaded parent may only make
  // async-signal-safe calls until it execs.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test or soak that dies (killed, crashed) takes its programs with it, rather
    // than leave a simulated unit serving a pty nobody will close.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // Only stdio: a descriptor another thread of the parent holds open just now
    // (a file being written, say) must not live on in the child.
    close_range(3, ~0U, 0);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void Process::Drain(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0) continue;
    ssize_t n;
    while ((n = read(fds[i].fd, buf, sizeof buf)) > 0) (i == 0 ? out_ : err_).append(buf, n);
    if (i == 0 && n == 0) outEnded_ = true;
  }
}

std::string Process::ReadLine(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = out_.find('\n', outRead_);
    if (nl != std::string::npos) {
      std::string line = out_.substr(outRead_, nl - outRead_);
      outRead_ = nl + 1;
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0 || outEnded_) return "";
    Drain(static_cast<int>(std::min<long>(left, 50)));
  }
}

bool Process::WaitForStderr(const std::string& text, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (err_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Drain(20);
  }
  return true;
}

void Process::Signal(int sig) {
  if (pid_ > 0 && status_ < 0) kill(pid_, sig);
}

int Process::Wait(int timeoutMs) {
  if (status_ >= 0) return status_;
  if (pid_ <= 0) return status_ = 127;  // never started; waitpid(-1) would reap another child
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Drain(10);
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      Drain();
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return -1;
  }
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace zarnik::testing
