#include "terminal/terminal_emulator.h"

#include <algorithm>
#include <array>

namespace zarnik {

namespace {

constexpr std::array<TEmuCommand, 32> MakeControlTable() {
  std::array<TEmuCommand, 32> t{};  // ecNone: dropped
  t[7] = ecBell;
  t[8] = ecBackspace;
  t[9] = ecTabHorz;
  t[10] = ecLF;
  t[13] = ecCR;
  return t;
}
constexpr std::array<TEmuCommand, 32> kControlCommands = MakeControlTable();

TColor Brighten(TColor c) {
  TColor out = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    TColor part = std::min<TColor>(((c >> shift) & 0xFF) + 128, 255);
    out |= part << shift;
  }
  return out;
}

}  // namespace

// ---- Base ----

bool TTerminalEmulator::teGetNeedsUpdate() {
  return buffer_.HasInvalid() || buffer_.CursorMoved() || buffer_.DisplayChanged();
}

void TTerminalEmulator::teSendChar(uint8_t ch) {
  if (site_) site_->SendToPort(ch);
}

// ---- Plain teletype ----

bool TTTYEmulator::teGetNeedsUpdate() {
  return forceFullRepaint_ || TTerminalEmulator::teGetNeedsUpdate();
}

void TTTYEmulator::ProcessBlock(const uint8_t* data, size_t n, TCharSource source) {
  if (onProcessChar_) {
    std::string text;
    for (size_t i = 0; i < n; ++i) {
      commands_.clear();
      text.assign(1, static_cast<char>(data[i]));
      onProcessChar_(data[i], source, commands_, text);
      for (TEmuCommand c : commands_) Execute(c);
      for (char c : text) HandleChar(static_cast<uint8_t>(c));
    }
    return;
  }
  // Without a hook, printable runs go to the buffer whole.
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && data[j] >= 32) ++j;
    if (j > i)
      buffer_.WriteString(std::string_view(reinterpret_cast<const char*>(data + i), j - i));
    if (j < n) Execute(kControlCommands[data[j++]]);
    i = j;
  }
}

void TTTYEmulator::HandleChar(uint8_t ch) {
  if (ch >= 32) {
    buffer_.WriteChar(ch);
  } else {
    Execute(kControlCommands[ch]);
  }
}

void TTTYEmulator::Execute(TEmuCommand command) {
  switch (command) {
    case ecNone:
      break;
    case ecBell:
      if (site_) site_->Bell();
      break;
    case ecBackspace:
      buffer_.DoBackspace();
      break;
    case ecTabHorz:
      buffer_.DoHorzTab();
      break;
    case ecLF:
      buffer_.DoLineFeed();
      break;
    case ecCR:
      buffer_.DoCarriageReturn();
      break;
  }
}

void TTTYEmulator::KeyPress(uint8_t ch) {
  if (ch == 8) ch = 127;
  if (site_ && site_->HalfDuplex()) ProcessBlock(&ch, 1, csKeyboard);
  teSendChar(ch);
}

// A colour change of the pane recolours every cell that used the old default.
void TTTYEmulator::SyncColors() {
  if (!site_) return;
  TColor back = site_->Color();
  TColor fore = site_->FontColor();
  if (back == buffer_.DefBackColor() && fore == buffer_.DefForeColor()) return;
  buffer_.tbSetDefBackColor(back);
  buffer_.tbSetDefForeColor(fore);
  buffer_.SetBackColor(back);
  buffer_.SetForeColor(fore);
  forceFullRepaint_ = true;
}

void TTTYEmulator::Paint(TTerminalPainter& painter, const TPaintArea& area) {
  SyncColors();
  for (int row = area.firstRow; row <= area.lastRow; ++row) {
    PaintRow(painter, row, area.firstCol, area.lastCol);
  }
  buffer_.GetInvalidRect();
  buffer_.ResetCursorMoved();
  forceFullRepaint_ = false;
}

void TTTYEmulator::LazyPaint(TTerminalPainter& painter, const TPaintArea& area) {
  SyncColors();
  if (forceFullRepaint_ || buffer_.RepaintAll()) {
    Paint(painter, area);
    return;
  }
  // After a scroll the picture moves up and only the rows it uncovers at the bottom
  // are drawn whole; the other rows need their changed cells only.
  int uncovered = area.lastRow + 1;
  if (int scrolled = buffer_.ScrolledRows(); scrolled > 0) {
    if (scrolled > area.lastRow - area.firstRow || !painter.ScrollUp(scrolled)) {
      Paint(painter, area);
      return;
    }
    uncovered = area.lastRow - scrolled + 1;
  }
  for (int row = area.firstRow; row <= area.lastRow; ++row) {
    int first = 0, last = 0;
    if (row >= uncovered) {
      PaintRow(painter, row, area.firstCol, area.lastCol);
    } else if (buffer_.DirtySpan(row, first, last)) {
      PaintRow(painter, row, std::max(first, area.firstCol), std::min(last, area.lastCol));
    }
  }
  buffer_.GetInvalidRect();
  buffer_.ResetCursorMoved();
}

void TTTYEmulator::PaintRow(TTerminalPainter& painter, int row, int firstCol, int lastCol) {
  buffer_.ForEachRun(
      row, firstCol, lastCol,
      [&](int col, const uint8_t* chars, int count, TColor fore, TColor back,
          TTerminalCharAttrs attrs) {
        bool reverse = ((attrs & tcaReverse) != 0) != ((attrs & tcaSelected) != 0);
        if (reverse) std::swap(fore, back);
        if (attrs & tcaBold) fore = Brighten(fore);
        if (attrs & tcaInvisible) fore = back;
        painter.DrawRun(TPaintRun{
            row, col,
            std::string_view(reinterpret_cast<const char*>(chars), static_cast<size_t>(count)),
            fore, back, (attrs & tcaUnderline) != 0, (attrs & tcaStrikethrough) != 0});
      });
}

}  // namespace zarnik
