// zarnik-terminal-bench: how fast the teletype emulator and its screen buffer take
// what a unit prints.
//
//   process  mixed printable text and line ends (lines of 0-100 characters, CR LF,
//            now and then a tab or a bare LF) fed in 4096-byte blocks, as the pane
//            gets them from the dispatcher (MB/s).
//   paint    the same, with the changed cells split into runs and handed to a
//            painter that only counts them after every block (MB/s).
//
// Each figure is the best of three runs. Usage: zarnik-terminal-bench [--mb N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "terminal/terminal_emulator.h"

namespace {

using namespace zarnik;
using Clock = std::chrono::steady_clock;

std::string MixedText(size_t bytes) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> length(0, 100);
  std::uniform_int_distribution<int> printable(32, 126);
  std::uniform_int_distribution<int> oneIn(0, 19);
  std::string s;
  s.reserve(bytes + 128);
  while (s.size() < bytes) {
    int n = length(rng);
    for (int i = 0; i < n; ++i) s += oneIn(rng) == 0 ? '\t' : static_cast<char>(printable(rng));
    s += oneIn(rng) == 0 ? "\n" : "\r\n";
  }
  s.resize(bytes);
  return s;
}

struct CountingPainter : TTerminalPainter {
  size_t runs = 0;
  size_t cells = 0;
  void DrawRun(const TPaintRun& run) override {
    ++runs;
    cells += run.text.size();
  }
};

double Run(const std::string& text, bool paint, CountingPainter& painter) {
  constexpr size_t kBlock = 4096;
  TTTYEmulator emu;
  emu.Buffer().tbSetRowCount(16);
  const TPaintArea area{1, 16, 1, 80};
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  auto start = Clock::now();
  for (size_t off = 0; off < text.size(); off += kBlock) {
    size_t n = std::min(kBlock, text.size() - off);
    emu.ProcessBlock(p + off, n, csPort);
    if (paint && emu.teGetNeedsUpdate()) emu.LazyPaint(painter, area);
  }
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  // Keep the work observable.
  if (emu.Buffer().RowText(16).size() != 80) std::fprintf(stderr, "unexpected row width\n");
  return text.size() / 1e6 / secs;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mb = 64;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) {
      mb = static_cast<size_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s [--mb N]\n", argv[0]);
      return 2;
    }
  }
  if (mb == 0) mb = 1;
  std::string text = MixedText(mb << 20);
  CountingPainter painter;
  Run(text.substr(0, 1 << 20), false, painter);  // warm caches
  // Best of three: the machine is shared, the best run is the one least disturbed.
  double process = 0, paint = 0;
  for (int i = 0; i < 3; ++i) {
    process = std::max(process, Run(text, false, painter));
    painter = CountingPainter{};
    paint = std::max(paint, Run(text, true, painter));
  }
  std::printf("process  %.1f MB/s  (%zu MB of mixed text and line ends, 4096-byte blocks)\n",
              process, mb);
  std::printf("paint    %.1f MB/s  (with lazy paint after every block: %zu runs, %zu cells)\n",
              paint, painter.runs, painter.cells);
  std::printf("target   50 MB/s for process: %s\n", process >= 50 ? "met" : "NOT met");
  return 0;
}
