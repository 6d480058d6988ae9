// Fuzz target: the byte stream from the port into the plain teletype and its
// screen buffer, mixed with what the pane does between blocks (resizing, moving
// the cursor, selecting, painting, typed keys, modes and colours).
//
// Input: one header byte (bit 0: the emulator runs a per-character hook that
// turns some bytes into commands; bit 1: half duplex), then records. A record's
// first byte k below 0xF0 is a block of k % 64 + 1 received bytes; from 0xF0 up it
// is one pane operation with its argument bytes. After every record the cursor is
// on the screen and the screen has the rows and columns last set.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "terminal/terminal_emulator.h"

namespace zarnik::fuzz {
namespace {

struct Site : TTerminalSite {
  TColor back = clBlack;
  TColor fore = clSilver;
  bool halfDuplex = false;
  size_t sent = 0;
  TColor Color() const override { return back; }
  TColor FontColor() const override { return fore; }
  bool HalfDuplex() const override { return halfDuplex; }
  void SendToPort(uint8_t) override { ++sent; }
  void Bell() override {}
};

// Every run lies inside the area asked for and inside the buffer.
struct CheckingPainter : TTerminalPainter {
  const TTerminalBuffer& buffer;
  TPaintArea area;
  CheckingPainter(const TTerminalBuffer& b, TPaintArea a) : buffer(b), area(a) {}
  void DrawRun(const TPaintRun& run) override {
    FUZZ_CHECK(!run.text.empty());
    FUZZ_CHECK(run.row >= area.firstRow && run.row <= area.lastRow);
    FUZZ_CHECK(run.row > -buffer.HistoryRowCount() && run.row <= buffer.RowCount());
    FUZZ_CHECK(run.column >= 1 && run.column >= area.firstCol);
    const int last = run.column + static_cast<int>(run.text.size()) - 1;
    FUZZ_CHECK(last <= buffer.ColCount() && last <= area.lastCol);
  }
};

int Signed(ByteReader& in, int span) {
  return static_cast<int>(in.U8() % span) - span / 4;
}

TPaintArea AreaFrom(ByteReader& in) {
  TPaintArea a;
  a.firstRow = Signed(in, 64);
  a.lastRow = a.firstRow + static_cast<int>(in.U8() % 48);
  a.firstCol = Signed(in, 32);
  a.lastCol = a.firstCol + static_cast<int>(in.U8() % 160);
  return a;
}

void CheckScreen(const TTerminalBuffer& b, int rows, int cols, int total) {
  FUZZ_CHECK(b.RowCount() == rows);
  FUZZ_CHECK(b.ColCount() == cols);
  FUZZ_CHECK(b.TotalRowCount() == total);
  FUZZ_CHECK(b.CursorRow() >= 1 && b.CursorRow() <= rows);
  FUZZ_CHECK(b.CursorCol() >= 1 && b.CursorCol() <= cols);
  if (b.HasInvalid()) {
    const TTermRect& r = b.InvalidBounds();
    FUZZ_CHECK(r.top >= 1 && r.bottom <= rows && r.left >= 1 && r.right <= cols);
  }
  for (int row = 1; row <= rows; ++row) {
    int first = 0, last = 0;
    if (b.DirtySpan(row, first, last)) FUZZ_CHECK(first >= 1 && first <= last && last <= cols);
  }
  FUZZ_CHECK(b.RowText(1 - b.HistoryRowCount()).size() == static_cast<size_t>(cols));
  FUZZ_CHECK(b.RowText(rows).size() == static_cast<size_t>(cols));
  FUZZ_CHECK(b.RowText(rows + 1).empty());
  FUZZ_CHECK(b.RowText(-b.HistoryRowCount()).empty());
}

}  // namespace
}  // namespace zarnik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zarnik;
  using namespace zarnik::fuzz;
  ByteReader in(data, size);
  const uint8_t header = in.U8();
  TTTYEmulator emu;
  Site site;
  site.halfDuplex = (header & 2) != 0;
  emu.teSetTerminal(&site);
  if (header & 1) {
    // A hook of the kind an application adds: doubles some bytes, rings on others.
    emu.SetOnProcessChar(
        [](uint8_t ch, TCharSource, std::vector<TEmuCommand>& commands, std::string& text) {
          if (ch == 0x1B) commands.push_back(ecCR);
          if (ch >= 0xE0) text.push_back(static_cast<char>(ch - 0x80));
          if (ch == 0x7F) text.clear();
        });
  }
  TTerminalBuffer& b = emu.Buffer();
  int rows = b.RowCount(), cols = b.ColCount(), total = b.TotalRowCount();
  while (!in.Empty()) {
    const uint8_t k = in.U8();
    if (k < 0xF0) {
      std::string_view block = in.Bytes(k % 64 + 1);
      emu.ProcessBlock(reinterpret_cast<const uint8_t*>(block.data()), block.size(), csPort);
    } else {
      switch (k) {
        case 0xF0: {
          int n = static_cast<int>(in.U8()) - 8;
          bool threw = false;
          try {
            b.tbSetRowCount(n);
          } catch (const ETerminalError&) {
            threw = true;
          }
          const bool takes = n != rows && n <= total && n >= 2;
          FUZZ_CHECK(threw == (n < 2 && n != rows && n <= total));
          if (takes) rows = n;
          break;
        }
        case 0xF1: {
          int n = static_cast<int>(in.U8() % 200) - 4;
          b.tbSetColCount(n);
          if (n >= 1) cols = n;
          break;
        }
        case 0xF2: {
          int n = static_cast<int>(in.U16() % 600) - 8;
          b.tbSetSVRowCount(n);
          if (n >= rows) total = n;
          break;
        }
        case 0xF3:
          b.SetCursorPos(Signed(in, 128), Signed(in, 256));
          break;
        case 0xF4: {
          int r1 = Signed(in, 255), c1 = Signed(in, 255), r2 = Signed(in, 255),
              c2 = Signed(in, 255);
          b.Select(r1, c1, r2, c2);
          const std::string text = b.SelectionText();
          FUZZ_CHECK(!text.empty() && text.size() % (static_cast<size_t>(cols) + 2) == 0);
          break;
        }
        case 0xF5:
          b.ClearSelection();
          FUZZ_CHECK(b.SelectionText().empty());
          break;
        case 0xF6: {
          TPaintArea area = AreaFrom(in);
          CheckingPainter painter(b, area);
          if (in.U8() & 1)
            emu.LazyPaint(painter, area);
          else
            emu.Paint(painter, area);
          FUZZ_CHECK(!b.HasInvalid());
          break;
        }
        case 0xF7:
          emu.KeyPress(in.U8());
          break;
        case 0xF8: {
          const uint8_t m = in.U8();
          b.SetAutoWrap(m & 1);
          b.SetAutoWrapDelay(m & 2);
          b.SetInsertMode(m & 4);
          b.SetNewLineMode(m & 8);
          b.SetAttributes(static_cast<TTerminalCharAttrs>(in.U8() & 0x7F));
          break;
        }
        case 0xF9:
          b.SetTabStop(Signed(in, 255), in.U8() & 1);
          break;
        case 0xFA:
          b.ClearAllTabStops();
          break;
        case 0xFB:
          site.back = in.U8() * 0x010101u;
          site.fore = in.U8() * 0x000101u;
          break;
        case 0xFC:
          b.SetForeColor(in.U16());
          b.SetBackColor(in.U16());
          break;
        case 0xFD:
          if (in.U8() & 1)
            emu.teClear();
          else
            emu.teClearAll();
          FUZZ_CHECK(b.CursorRow() == 1 && b.CursorCol() == 1);
          break;
        case 0xFE:
          b.GetInvalidRect();
          FUZZ_CHECK(!b.HasInvalid());
          break;
        default:
          emu.ProcessBlock(&k, 1, csPort);
          break;
      }
    }
    CheckScreen(b, rows, cols, total);
  }
  return 0;
}
