// Line rate of a file load: a 1 MB file over a pty to zarnik-unit-sim paced at a
// baud rate (115200 by default), sent by zarnik-cli, side by side with a plain copy
// of the same file to the same paced unit in the same run. Also the CPU zarnik-cli
// uses over its whole run.
//
//   zarnik_bench_cli_line_rate [SIZE_BYTES] [BAUD]
//
// The data phase is timed from the first data byte written to the unit's "LOAD OK";
// the times come from zarnik-cli's own transcript and, for the plain copy, from the
// copy loop itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads from fd until `text` has come, or timeoutMs passes.
bool ReadUntil(int fd, const std::string& text, int timeoutMs) {
  std::string seen;
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) seen.append(buf, n);
    if (seen.find(text) != std::string::npos) return true;
  }
  return false;
}

double PlainCopy(const std::string& device, const std::string& data) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  (void)!write(fd, "LOADR\r", 6);
  if (!ReadUntil(fd, ">", 5000)) return -1;
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  char line[128];
  int len = std::snprintf(line, sizeof line, "LF 0 %zu %x PLAIN\r", data.size(), sum & 0xFFFF);
  (void)!write(fd, line, len);
  usleep(100000);
  auto start = Clock::now();
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, std::min<size_t>(2000, data.size() - off));
    if (n > 0) off += n;
  }
  if (!ReadUntil(fd, "LOAD OK", 600000)) return -1;
  double s = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return s;
}

// Data phase from the transcript: first TX after the load line to the RX that
// completes "LOAD OK".
double DataPhaseFromTranscript(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  double lastTime = 0, firstData = -1, end = -1;
  bool afterLoadLine = false;
  std::string rx;
  while (std::getline(in, line)) {
    if (line.size() > 11 && line[10] == ' ' && line[0] != '#' && line[11] != '|') {
      lastTime = std::atof(line.c_str());
      bool tx = line.compare(11, 2, "TX") == 0;
      if (tx && afterLoadLine && firstData < 0) firstData = lastTime;
      continue;
    }
    if (line.find("| LK ") != std::string::npos || line.find("| LF ") != std::string::npos)
      afterLoadLine = true;
    if (firstData >= 0 && line.find("LOAD OK") != std::string::npos && end < 0) end = lastTime;
  }
  return (firstData >= 0 && end >= 0) ? end - firstData : -1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1 << 20;
  unsigned baud = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 115200;
  fs::path dir = fs::temp_directory_path() / ("zarnik-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string data(size, '\0');
  std::mt19937 gen(7);
  for (auto& c : data) c = static_cast<char>(gen());
  std::ofstream(dir / "image.bin", std::ios::binary) << data;
  std::ofstream(dir / "load.sld") << "_TC \"^M\"\n_LP 1\n_LK " << (dir / "image.bin").string()
                                  << "\n_LA 8000\n_LV BENCH\n_LD\n";

  int pipeFd[2];
  (void)!pipe(pipeFd);
  pid_t unit = Spawn({ZARNIK_UNIT_SIM_PATH, "--baud", std::to_string(baud)}, pipeFd[1]);
  close(pipeFd[1]);
  std::string device;
  char c;
  while (read(pipeFd[0], &c, 1) == 1 && c != '\n') device += c;
  const double lineRate = baud / 10.0;
  std::printf("file %zu bytes, unit paced at %u baud (%.0f bytes/s), device %s\n", size, baud,
              lineRate, device.c_str());

  double plain = PlainCopy(device, data);
  std::printf("plain copy:  data phase %.3f s, %.1f bytes/s, %.2f%% of line rate\n", plain,
              size / plain, 100.0 * size / plain / lineRate);

  auto start = Clock::now();
  pid_t cli = Spawn({ZARNIK_CLI_PATH, "run", (dir / "load.sld").string(), "--port", device,
                     "--baud", std::to_string(baud), "--quiet", "--transcript",
                     (dir / "wire.log").string()});
  int status = 0;
  rusage usage{};
  wait4(cli, &status, 0, &usage);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec / 1e6;
  double phase = DataPhaseFromTranscript(ReadFile(dir / "wire.log"));
  std::printf("zarnik-cli:  exit %d, data phase %.3f s, %.1f bytes/s, %.2f%% of line rate, "
              "%.2f%% of the plain copy\n",
              WEXITSTATUS(status), phase, size / phase, 100.0 * size / phase / lineRate,
              100.0 * plain / phase);
  std::printf("zarnik-cli:  %.3f s CPU over %.3f s: %.2f%% of one core\n", cpu, wall,
              100.0 * cpu / wall);
  kill(unit, SIGTERM);
  waitpid(unit, nullptr, 0);
  fs::remove_all(dir);
  return 0;
}
