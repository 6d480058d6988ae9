// zarnik-serial-bench: what the serial port layer costs and delivers.
//
//   throughput  PutBlock through TComPort to a pty whose other side reads as fast as
//               it can (MB/s).
//   paced       the simulated null modem paced at 115200 baud, 8N1; the bytes sent in
//               2000-byte blocks exactly as the file transfer sends them (the command
//               channel's SendByte: put, wait for the output to drain and CTS, flush,
//               next block); the share of the line rate achieved.
//   idle        an open port with nothing to do: CPU time of the whole process over a
//               stretch of wall time, on a pty and on the simulated line.
//
// Usage: zarnik-serial-bench [throughput|paced|idle|all] [--mb N] [--paced-bytes N]
//        [--idle-seconds N]
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

void Paced(size_t bytes) {
  auto line = SimNullModem::Create("bench-paced");
  line->SetPacing(true);
  ConsoleHost host(Quiet());
  TComPort port(host);
  port.SetDevicePath(line->Path());
  port.SetAutoOpen(false);
  port.SetBaud(115200);
  port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  port.SetBufferFull(2000);
  port.SetBufferResume(409);
  port.SetOpen(true);
  bool cancelled = false;
  CommandChannel channel(host, port, cancelled);
  channel.LinkMode = kLinkRs232;
  std::atomic<bool> done{false};
  std::atomic<size_t> received{0};
  std::thread peer([&] {
    char buf[4096];
    while (!done) {
      line->PeerWaitAvailable(1, 50);
      received += line->PeerRead(buf, sizeof buf);
    }
  });
  std::string block(2000, 'p');
  auto start = Clock::now();
  for (size_t at = 0; at < bytes && !cancelled; at += block.size()) {
    int n = static_cast<int>(std::min(block.size(), bytes - at));
    channel.SendByte(n, reinterpret_cast<const uint8_t*>(block.data()));
  }
  while (received < bytes && !cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double s = Seconds(Clock::now() - start);
  done = true;
  peer.join();
  double lineRate = 115200.0 / 10;
  std::printf("paced: %zu bytes in 2000-byte blocks at 115200 8N1 in %.2f s = %.0f B/s = %.2f%% of "
              "line rate%s\n",
              bytes, s, bytes / s, 100.0 * bytes / s / lineRate, cancelled ? " (CANCELLED)" : "");
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
  size_t mb = 64, pacedBytes = 1 << 20;
  double idleSeconds = 10;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mb" && i + 1 < argc) mb = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--paced-bytes" && i + 1 < argc) pacedBytes = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--idle-seconds" && i + 1 < argc) idleSeconds = std::strtod(argv[++i], nullptr);
    else if (a == "throughput" || a == "paced" || a == "idle" || a == "all") which = a;
    else {
      std::fprintf(stderr,
                   "usage: zarnik-serial-bench [throughput|paced|idle|all] [--mb N] "
                   "[--paced-bytes N] [--idle-seconds N]\n");
      return 2;
    }
  }
  if (which == "throughput" || which == "all") Throughput(mb);
  if (which == "idle" || which == "all") Idle(idleSeconds);
  if (which == "paced" || which == "all") Paced(pacedBytes);
  return 0;
}
