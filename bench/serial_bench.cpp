// zarnik-serial-bench: what the serial port layer costs and delivers.
//
//   throughput  PutBlock through TComPort to a pty whose other side reads as fast as
//               it can (MB/s).
//   paced       the simulated null modem paced at 115200 baud, 8N1; the bytes sent in
//               2000-byte blocks read from a file exactly as the file transfer sends
//               them (queue a block, read the next while it drains, wait for the
//               drain and CTS, flush); the share of the line rate achieved.
//   idle        an open port with nothing to do: CPU time of the whole process over a
//               stretch of wall time, on a pty and on the simulated line.
//   rates       2 MB over the simulated line paced at 460800, 921600 and 3000000 baud,
//               in the transfer's 2000-byte blocks and as a plain copy: the share of
//               the line rate and of one core (the process, the reading peer included).
//
// Usage: zarnik-serial-bench [throughput|paced|idle|rates|all] [--mb N] [--paced-bytes N]
//        [--paced-baud B] [--idle-seconds N] [--rate-bytes N]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "link/command_channel.h"
#include "platform/console_host.h"
#include "serial/com_port.h"
#include "serial/device_sim.h"

namespace {

using namespace zarnik;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

ConsoleHostOptions Quiet() {
  ConsoleHostOptions o;
  o.showStatus = false;
  return o;
}

struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    path = ptsname(master);
  }
  ~Pty() { close(master); }
  int master;
  std::string path;
};

void Throughput(size_t megabytes) {
  Pty pty;
  ConsoleHost host(Quiet());
  TComPort port(host);
  port.SetDevicePath(pty.path);
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetOpen(true);
  const size_t total = megabytes << 20;
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    std::string buf(1 << 16, '\0');
    while (received < total) {
      ssize_t n = read(pty.master, buf.data(), buf.size());
      if (n > 0) received += n;
    }
  });
  std::string block(2000, 'x');
  auto start = Clock::now();
  for (size_t sent = 0; sent < total;) {
    uint16_t n = static_cast<uint16_t>(std::min(block.size(), total - sent));
    if (port.GetOutBuffFree() < n) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    port.PutBlock(block.data(), n);
    sent += n;
  }
  while (received < total) std::this_thread::sleep_for(std::chrono::microseconds(100));
  double s = Seconds(Clock::now() - start);
  reader.join();
  std::printf("throughput: %zu MiB through PutBlock to a pty in %.3f s = %.1f MB/s\n", megabytes,
              s, total / s / 1e6);
}

struct PacedFigures {
  double seconds = 0, cpu = 0;
  bool cancelled = false;
};

// `bytes` over the simulated line paced like a UART at `baud`, 8N1: in 2000-byte blocks
// read from a file exactly as the file transfer sends them (queue a block, read the
// next one while it drains, wait for the drain and CTS), or as a plain copy that
// puts whenever the output ring has room.
PacedFigures PacedRun(size_t bytes, int32_t baud, bool blocks) {
  auto line = SimNullModem::Create("bench-paced");
  line->SetPacing(true);
  ConsoleHost host(Quiet());
  TComPort port(host);
  port.SetDevicePath(line->Path());
  port.SetAutoOpen(false);
  port.SetBaud(baud);
  port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  port.SetBufferFull(2000);
  port.SetBufferResume(409);
  port.SetOpen(true);
  bool cancelled = false;
  CommandChannel channel(host, port, cancelled);
  channel.LinkMode = kLinkRs232;
  std::atomic<bool> done{false};
  std::atomic<size_t> received{0};
  // The unit reads what has come every few milliseconds: the figures are the port's.
  std::thread peer([&] {
    char buf[4096];
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      while (size_t n = line->PeerRead(buf, sizeof buf)) received += n;
    }
  });
  std::string block(2000, 'p');
  std::FILE* file = std::tmpfile();
  for (size_t at = 0; at < bytes; at += block.size())
    std::fwrite(block.data(), 1, std::min(block.size(), bytes - at), file);
  std::rewind(file);
  std::setvbuf(file, nullptr, _IONBF, 0);
  auto readBlock = [&](size_t at) {
    size_t n = std::min(block.size(), bytes - at);
    return std::fread(block.data(), 1, n, file) == n;
  };
  double cpu0 = CpuSeconds();
  auto start = Clock::now();
  if (blocks) readBlock(0);
  for (size_t at = 0; at < bytes && !cancelled;) {
    int n = static_cast<int>(std::min(block.size(), bytes - at));
    if (blocks) {
      bool queued = channel.QueueBytes(n, reinterpret_cast<const uint8_t*>(block.data()));
      if (at + n < bytes) readBlock(at + n);
      if (queued) channel.AwaitBytesSent(n);
    } else if (port.GetOutBuffFree() < n) {
      port.SetOutputWatch(true);
      host.WaitAndProcessMessages(5);
      continue;
    } else {
      port.PutBlock(block.data(), static_cast<uint16_t>(n));
    }
    at += n;
  }
  while (received < bytes && !cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PacedFigures f;
  f.seconds = Seconds(Clock::now() - start);
  f.cpu = CpuSeconds() - cpu0;
  f.cancelled = cancelled;
  std::fclose(file);
  done = true;
  peer.join();
  return f;
}

void Paced(size_t bytes, int32_t baud) {
  PacedFigures f = PacedRun(bytes, baud, true);
  double lineRate = baud / 10.0;
  std::printf("paced: %zu bytes in 2000-byte blocks at %d 8N1 in %.2f s = %.0f B/s = %.2f%% of "
              "line rate%s\n",
              bytes, baud, f.seconds, bytes / f.seconds, 100.0 * bytes / f.seconds / lineRate,
              f.cancelled ? " (CANCELLED)" : "");
}

// The file transfer's blocks at high rates, beside a plain copy on the same line.
void Rates(size_t bytes) {
  for (int32_t baud : {460800, 921600, 3000000}) {
    double lineRate = baud / 10.0;
    for (bool blocks : {true, false}) {
      PacedFigures f = PacedRun(bytes, baud, blocks);
      std::printf("rates: %7d baud, %-12s %zu bytes in %6.2f s = %6.2f%% of line rate, "
                  "%5.2f%% of a core%s\n",
                  baud, blocks ? "2000-blocks" : "plain copy", bytes, f.seconds,
                  100.0 * bytes / f.seconds / lineRate, 100.0 * f.cpu / f.seconds,
                  f.cancelled ? " (CANCELLED)" : "");
    }
  }
}

void IdleOn(const std::string& what, const std::string& path, double seconds) {
  ConsoleHost host(Quiet());
  TComPort port(host);
  port.SetDevicePath(path);
  port.SetAutoOpen(false);
  port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  port.OnTriggerAvail = [](PortContract&, uint16_t) {};
  port.SetOpen(true);
  double cpu0 = CpuSeconds();
  auto start = Clock::now();
  while (Seconds(Clock::now() - start) < seconds) host.WaitAndProcessMessages(1000);
  double wall = Seconds(Clock::now() - start);
  double cpu = CpuSeconds() - cpu0;
  std::printf("idle (%s): open port, %.2f s CPU over %.1f s = %.3f%% of one core\n", what.c_str(),
              cpu, wall, 100.0 * cpu / wall);
}

void Idle(double seconds) {
  Pty pty;
  IdleOn("pty", pty.path, seconds);
  auto line = SimNullModem::Create("bench-idle");
  IdleOn("simulated line", line->Path(), seconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = "all";
  size_t mb = 64, pacedBytes = 1 << 20, rateBytes = 2 << 20;
  int32_t pacedBaud = 115200;
  double idleSeconds = 10;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mb" && i + 1 < argc) mb = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--paced-bytes" && i + 1 < argc) pacedBytes = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--idle-seconds" && i + 1 < argc) idleSeconds = std::strtod(argv[++i], nullptr);
    else if (a == "--paced-baud" && i + 1 < argc) pacedBaud = std::atoi(argv[++i]);
    else if (a == "--rate-bytes" && i + 1 < argc) rateBytes = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "throughput" || a == "paced" || a == "idle" || a == "rates" || a == "all")
      which = a;
    else {
      std::fprintf(stderr,
                   "usage: zarnik-serial-bench [throughput|paced|idle|rates|all] [--mb N] "
                   "[--paced-bytes N] [--paced-baud B] [--idle-seconds N] [--rate-bytes N]\n");
      return 2;
    }
  }
  if (which == "throughput" || which == "all") Throughput(mb);
  if (which == "idle" || which == "all") Idle(idleSeconds);
  if (which == "paced" || which == "all") Paced(pacedBytes, pacedBaud);
  if (which == "rates" || which == "all") Rates(rateBytes);
  return 0;
}
