#include "terminal/terminal_buffer.h"

#include <algorithm>

#include "platform/host.h"

namespace zarnik {

namespace {
constexpr int kTabWidth = 8;
}

TTerminalBuffer::TTerminalBuffer(int totalRows, int columns, int screenRows)
    : totalRows_(std::max(totalRows, 2)),
      cols_(std::max(columns, 1)),
      screenRows_(std::clamp(screenRows, 2, totalRows_)),
      firstScreenRow_(totalRows_ - screenRows_),
      chars_(' ', cols_, totalRows_),
      sets_(0, cols_, totalRows_),
      attrArr_(0, cols_, totalRows_),
      foreArr_(clSilver, cols_, totalRows_),
      backArr_(clBlack, cols_, totalRows_),
      cursorRow_(firstScreenRow_),
      tabStops_(static_cast<size_t>(cols_)) {
  for (int c = 0; c < cols_; ++c) tabStops_[c] = c % kTabWidth == 0;
  dirty_.assign(static_cast<size_t>(screenRows_), Span{1, 0});
  InvalidateScreen();
}

// ---- Writing ----

void TTerminalBuffer::WriteChar(uint8_t ch) {
  WriteString(std::string_view(reinterpret_cast<const char*>(&ch), 1));
}

void TTerminalBuffer::WriteString(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  if (insertMode_ || !autoWrapDelay_) {
    for (size_t i = 0; i < text.size(); ++i) WriteOne(p[i]);
  } else {
    WriteRun(p, text.size());
  }
  FireCursorMoved();
}

// The common case, a row at a time: with delayed wrapping and no insertion, writing
// k characters is the same as writing them one by one.
void TTerminalBuffer::WriteRun(const uint8_t* p, size_t n) {
  while (n > 0) {
    if (wrapPending_) {
      wrapPending_ = false;
      MoveRightWithWrap();
    }
    int k = static_cast<int>(std::min<size_t>(n, static_cast<size_t>(cols_ - cursorCol_)));
    StoreCells(p, k);
    p += k;
    n -= static_cast<size_t>(k);
    int lastCol = cursorCol_ + k - 1;
    if (lastCol == cols_ - 1) {
      MoveCursor(cursorRow_, lastCol);
      wrapPending_ = true;
    } else {
      MoveCursor(cursorRow_, lastCol + 1);
    }
  }
}

void TTerminalBuffer::WriteOne(uint8_t ch) {
  if (wrapPending_) {
    wrapPending_ = false;
    MoveRightWithWrap();
  }
  if (insertMode_) {
    chars_.Insert(cursorRow_, cursorCol_, 1);
    sets_.Insert(cursorRow_, cursorCol_, 1);
    attrArr_.Insert(cursorRow_, cursorCol_, 1);
    foreArr_.Insert(cursorRow_, cursorCol_, 1);
    backArr_.Insert(cursorRow_, cursorCol_, 1);
    Invalidate(cursorRow_, cursorCol_, cols_ - 1);
  }
  StoreCells(&ch, 1);
  if (autoWrapDelay_ && cursorCol_ == cols_ - 1) {
    wrapPending_ = true;
  } else {
    MoveRightWithWrap();
  }
}

void TTerminalBuffer::StoreCells(const uint8_t* p, int n) {
  chars_.Write(cursorRow_, cursorCol_, p, n);
  sets_.Fill(cursorRow_, cursorCol_, n, charSet_);
  attrArr_.Fill(cursorRow_, cursorCol_, n, attrs_);
  foreArr_.Fill(cursorRow_, cursorCol_, n, fore_);
  backArr_.Fill(cursorRow_, cursorCol_, n, back_);
  Invalidate(cursorRow_, cursorCol_, cursorCol_ + n - 1);
}

void TTerminalBuffer::MoveRightWithWrap() {
  if (cursorCol_ < cols_ - 1) {
    MoveCursor(cursorRow_, cursorCol_ + 1);
  } else if (autoWrap_) {
    if (cursorRow_ < BottomRow()) {
      MoveCursor(cursorRow_ + 1, 0);
    } else {
      ScrollUp();
      MoveCursor(cursorRow_, 0);
    }
  }
}

void TTerminalBuffer::DoCarriageReturn() {
  wrapPending_ = false;
  MoveCursor(cursorRow_, 0);
  moveToReport_ = true;  // reported even when already in the first column
  FireCursorMoved();
}

void TTerminalBuffer::DoLineFeed() {
  wrapPending_ = false;
  if (newLineMode_) {
    MoveCursor(cursorRow_, 0);
    moveToReport_ = true;
  }
  if (cursorRow_ < BottomRow()) {
    MoveCursor(cursorRow_ + 1, cursorCol_);
  } else {
    ScrollUp();
  }
  FireCursorMoved();
}

void TTerminalBuffer::DoBackspace() {
  wrapPending_ = false;
  if (cursorCol_ > 0) MoveCursor(cursorRow_, cursorCol_ - 1);
  FireCursorMoved();
}

void TTerminalBuffer::DoHorzTab() {
  wrapPending_ = false;
  int c = cursorCol_ + 1;
  while (c < cols_ && !tabStops_[c]) ++c;
  MoveCursor(cursorRow_, std::min(c, cols_ - 1));
  FireCursorMoved();
}

// The whole row space moves up one row: the top screen row becomes the newest history
// row and the oldest history row is lost.
void TTerminalBuffer::ScrollUp() {
  chars_.Scroll(0, BottomRow(), 1);
  sets_.Scroll(0, BottomRow(), 1);
  attrArr_.Scroll(0, BottomRow(), 1);
  foreArr_.Scroll(0, BottomRow(), 1);
  backArr_.Scroll(0, BottomRow(), 1);
  // A change on the top row that was never painted passes into the history unseen.
  if (dirty_.front().first <= dirty_.front().last) repaintAll_ = true;
  std::move(dirty_.begin() + 1, dirty_.end(), dirty_.begin());
  dirty_.back() = Span{0, cols_ - 1};
  ++scrolled_;
  bounds_ = TTermRect{1, 1, screenRows_, cols_};
  Notify();
}

void TTerminalBuffer::ClearCells(int firstRow, int count) {
  chars_.ClearRows(firstRow, count);
  sets_.ClearRows(firstRow, count);
  attrArr_.ClearRows(firstRow, count);
  foreArr_.ClearRows(firstRow, count);
  backArr_.ClearRows(firstRow, count);
}

void TTerminalBuffer::EraseAll() {
  ClearCells(0, totalRows_);
  hasSelection_ = false;
  wrapPending_ = false;
  repaintAll_ = true;
  InvalidateScreen();
  MoveCursor(firstScreenRow_, 0);
  FireCursorMoved();
}

void TTerminalBuffer::EraseScreen() {
  ClearSelection();
  ClearCells(firstScreenRow_, screenRows_);
  wrapPending_ = false;
  InvalidateScreen();
  MoveCursor(firstScreenRow_, 0);
  FireCursorMoved();
}

// ---- Colours ----

void TTerminalBuffer::tbSetDefForeColor(TColor c) {
  if (c == foreArr_.DefaultItem()) return;
  foreArr_.Replace(foreArr_.DefaultItem(), c);
  foreArr_.SetDefaultItem(c);
  repaintAll_ = true;
  InvalidateScreen();
}

void TTerminalBuffer::tbSetDefBackColor(TColor c) {
  if (c == backArr_.DefaultItem()) return;
  backArr_.Replace(backArr_.DefaultItem(), c);
  backArr_.SetDefaultItem(c);
  repaintAll_ = true;
  InvalidateScreen();
}

// ---- Tab stops ----

bool TTerminalBuffer::TabStop(int col) const {
  return col >= 1 && col <= cols_ && tabStops_[col - 1];
}

void TTerminalBuffer::SetTabStop(int col, bool on) {
  if (col >= 1 && col <= cols_) tabStops_[col - 1] = on;
}

void TTerminalBuffer::ClearAllTabStops() {
  std::fill(tabStops_.begin(), tabStops_.end(), false);
}

// ---- Geometry ----

void TTerminalBuffer::tbSetRowCount(int n) {
  if (n == screenRows_ || n > totalRows_) return;
  if (n < 2) throw ETerminalError("TTerminalBuffer.tbSetRowCount: new count too small");
  screenRows_ = n;
  firstScreenRow_ = totalRows_ - n;
  dirty_.assign(static_cast<size_t>(n), Span{1, 0});
  bounds_ = TTermRect{};
  repaintAll_ = true;
  InvalidateScreen();
  if (cursorRow_ < firstScreenRow_) MoveCursor(firstScreenRow_, cursorCol_);
  FireCursorMoved();
}

void TTerminalBuffer::tbSetColCount(int n) {
  if (n < 1 || n == cols_) return;
  chars_.SetColCount(n);
  sets_.SetColCount(n);
  attrArr_.SetColCount(n);
  foreArr_.SetColCount(n);
  backArr_.SetColCount(n);
  tabStops_.resize(static_cast<size_t>(n));
  for (int c = cols_; c < n; ++c) tabStops_[c] = c % kTabWidth == 0;
  cols_ = n;
  wrapPending_ = false;
  repaintAll_ = true;
  InvalidateScreen();
  MoveCursor(cursorRow_, std::min(cursorCol_, n - 1));
  FireCursorMoved();
}

void TTerminalBuffer::tbSetSVRowCount(int n) {
  if (n == totalRows_ || n < screenRows_) return;
  int delta = n - totalRows_;
  auto resize = [&](auto& arr) {
    if (delta > 0) {
      arr.SetRowCount(n);
      arr.Scroll(0, n - 1, -delta);  // the new rows become the oldest history
    } else {
      arr.Scroll(0, totalRows_ - 1, -delta);  // the oldest history goes
      arr.SetRowCount(n);
    }
  };
  resize(chars_);
  resize(sets_);
  resize(attrArr_);
  resize(foreArr_);
  resize(backArr_);
  totalRows_ = n;
  firstScreenRow_ = n - screenRows_;
  cursorRow_ += delta;
  repaintAll_ = true;
  InvalidateScreen();
}

// ---- Cursor and notification ----

void TTerminalBuffer::MoveCursor(int absRow, int col) {
  if (absRow == cursorRow_ && col == cursorCol_) return;
  cursorRow_ = absRow;
  cursorCol_ = col;
  cursorMoved_ = true;
  moveToReport_ = true;
}

void TTerminalBuffer::FireCursorMoved() {
  if (!moveToReport_) return;
  moveToReport_ = false;
  cursorMoved_ = true;
  Notify();
  if (onCursorMoved_) onCursorMoved_(CursorRow(), CursorCol());
}

void TTerminalBuffer::SetCursorPos(int row, int col) {
  wrapPending_ = false;
  MoveCursor(firstScreenRow_ + std::clamp(row, 1, screenRows_) - 1, std::clamp(col, 1, cols_) - 1);
  FireCursorMoved();
}

void TTerminalBuffer::ResetCursorMoved() {
  cursorMoved_ = false;
  updatePosted_ = false;
}

void TTerminalBuffer::RegisterTerminalHandle(Host* host, MessageTarget* window) {
  host_ = host;
  window_ = window;
  updatePosted_ = false;  // what changed before is painted when the window first shows
}

void TTerminalBuffer::Notify() {
  if (updatePosted_ || host_ == nullptr || window_ == nullptr) return;
  updatePosted_ = true;
  host_->Post(window_, kMsgTermNeedsUpdate);
}

void TTerminalBuffer::Invalidate(int absRow, int firstCol, int lastCol) {
  int s = absRow - firstScreenRow_;
  if (s < 0) {
    repaintAll_ = true;
  } else {
    Span& d = dirty_[s];
    if (d.first > d.last) {
      d = Span{firstCol, lastCol};
    } else {
      d.first = std::min(d.first, firstCol);
      d.last = std::max(d.last, lastCol);
    }
    if (bounds_.Empty()) {
      bounds_ = TTermRect{s + 1, firstCol + 1, s + 1, lastCol + 1};
    } else {
      bounds_.top = std::min(bounds_.top, s + 1);
      bounds_.bottom = std::max(bounds_.bottom, s + 1);
      bounds_.left = std::min(bounds_.left, firstCol + 1);
      bounds_.right = std::max(bounds_.right, lastCol + 1);
    }
  }
  Notify();
}

void TTerminalBuffer::InvalidateScreen() {
  std::fill(dirty_.begin(), dirty_.end(), Span{0, cols_ - 1});
  bounds_ = TTermRect{1, 1, screenRows_, cols_};
  Notify();
}

bool TTerminalBuffer::DirtySpan(int row, int& first, int& last) const {
  if (row < 1 || row > screenRows_) return false;
  const Span& d = dirty_[row - 1];
  if (d.first > d.last) return false;
  first = d.first + 1;
  last = d.last + 1;
  return true;
}

TTermRect TTerminalBuffer::GetInvalidRect() {
  TTermRect r = bounds_;
  bounds_ = TTermRect{};
  std::fill(dirty_.begin(), dirty_.end(), Span{1, 0});
  repaintAll_ = false;
  scrolled_ = 0;
  updatePosted_ = false;
  return r;
}

// ---- Cells and selection ----

std::string TTerminalBuffer::RowText(int row) const {
  const uint8_t* p = RowChars(row);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(cols_))
           : std::string();
}

void TTerminalBuffer::Select(int fromRow, int fromCol, int toRow, int toCol) {
  ClearSelection();
  auto clampRow = [&](int row) { return std::clamp(Abs(row), 0, totalRows_ - 1); };
  auto clampCol = [&](int col) { return std::clamp(col - 1, 0, cols_ - 1); };
  int r1 = clampRow(fromRow), c1 = clampCol(fromCol);
  int r2 = clampRow(toRow), c2 = clampCol(toCol);
  if (r2 < r1 || (r2 == r1 && c2 < c1)) {
    std::swap(r1, r2);
    std::swap(c1, c2);
  }
  for (int r = r1; r <= r2; ++r) {
    int first = r == r1 ? c1 : 0;
    int last = r == r2 ? c2 : cols_ - 1;
    TTerminalCharAttrs* a = attrArr_.Row(r);
    for (int c = first; c <= last; ++c) a[c] |= tcaSelected;
    Invalidate(r, first, last);
  }
  hasSelection_ = true;
}

void TTerminalBuffer::ClearSelection() {
  if (!hasSelection_) return;
  hasSelection_ = false;
  for (int r = 0; r < totalRows_; ++r) {
    TTerminalCharAttrs* a = attrArr_.Row(r);
    int first = -1, last = -1;
    for (int c = 0; c < cols_; ++c) {
      if (a[c] & tcaSelected) {
        a[c] &= static_cast<TTerminalCharAttrs>(~tcaSelected);
        if (first < 0) first = c;
        last = c;
      }
    }
    if (first >= 0) Invalidate(r, first, last);
  }
}

std::string TTerminalBuffer::SelectionText() const {
  std::string text;
  if (!hasSelection_) return text;
  for (int r = 0; r < totalRows_; ++r) {
    const TTerminalCharAttrs* a = attrArr_.Row(r);
    if (std::none_of(a, a + cols_, [](TTerminalCharAttrs x) { return (x & tcaSelected) != 0; })) {
      continue;
    }
    text.append(reinterpret_cast<const char*>(chars_.Row(r)), static_cast<size_t>(cols_));
    text += "\r\n";
  }
  return text;
}

}  // namespace zarnik
