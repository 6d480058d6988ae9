// TTerminalArray: one item per cell of the terminal's row space (characters, character
// sets, attributes or colours), rows one after another, each ColCount() items wide.
//
// Rows are reached through a ring of row indices, so scrolling rotates indices and
// never copies cells: scrolling the whole row space by one line (every line feed on
// the bottom row) costs one row of clearing. Logical row 0 is the oldest history row.
//
// Threading: plain data, owned by the screen buffer on the window thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace zarnik {

template <typename T>
class TTerminalArray {
 public:
  explicit TTerminalArray(T defaultItem, int cols = 0, int rows = 0) : default_(defaultItem) {
    Rebuild(cols, rows);
  }

  int ColCount() const { return cols_; }
  int RowCount() const { return rows_; }
  T DefaultItem() const { return default_; }
  void SetDefaultItem(T item) { default_ = item; }

  // Each row keeps its first items; columns added take the default item.
  void SetColCount(int cols) { Rebuild(cols, rows_); }
  // Growing keeps the existing rows and adds default rows at the end; shrinking drops
  // rows from the end.
  void SetRowCount(int rows) { Rebuild(cols_, rows); }

  T* Row(int row) { return &cells_[Physical(row) * cols_]; }
  const T* Row(int row) const { return &cells_[Physical(row) * cols_]; }
  T& At(int row, int col) { return Row(row)[col]; }
  T At(int row, int col) const { return Row(row)[col]; }

  void ClearAll() { std::fill(cells_.begin(), cells_.end(), default_); }
  void ClearRows(int first, int count) {
    for (int r = first; r < first + count; ++r) std::fill_n(Row(r), cols_, default_);
  }

  // n copies of item from (row, col), clipped at the end of the row.
  void Fill(int row, int col, int n, T item) { std::fill_n(Row(row) + col, Clip(col, n), item); }
  void Write(int row, int col, const T* items, int n) {
    std::copy_n(items, Clip(col, n), Row(row) + col);
  }
  // Inserts n default items at col; the row's last n items drop off.
  void Insert(int row, int col, int n) {
    n = Clip(col, n);
    T* r = Row(row);
    std::move_backward(r + col, r + cols_ - n, r + cols_);
    std::fill_n(r + col, n, default_);
  }
  // Deletes n items at col; the rest of the row shifts left, its end takes the default.
  void Delete(int row, int col, int n) {
    n = Clip(col, n);
    T* r = Row(row);
    std::move(r + col + n, r + cols_, r + col);
    std::fill_n(r + cols_ - n, n, default_);
  }
  void Replace(T oldItem, T newItem) {
    std::replace(cells_.begin(), cells_.end(), oldItem, newItem);
  }

  // Moves rows first..last up by n (down for negative n); the rows freed at the other
  // end are cleared to the default item.
  void Scroll(int first, int last, int n) {
    int count = last - first + 1;
    if (count <= 0 || n == 0) return;
    if (n >= count || -n >= count) {
      ClearRows(first, count);
      return;
    }
    int up = n > 0 ? n : count + n;  // a downward scroll is an upward rotation
    if (first == 0 && last == rows_ - 1) {
      head_ = Slot(up);
    } else {
      std::vector<uint32_t> part(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) part[i] = map_[Slot(first + i)];
      std::rotate(part.begin(), part.begin() + up, part.end());
      for (int i = 0; i < count; ++i) map_[Slot(first + i)] = part[i];
    }
    if (n > 0) {
      ClearRows(last - n + 1, n);
    } else {
      ClearRows(first, -n);
    }
  }

 private:
  size_t Slot(int row) const {
    size_t s = head_ + static_cast<size_t>(row);
    return s >= static_cast<size_t>(rows_) ? s - rows_ : s;
  }
  size_t Physical(int row) const { return map_[Slot(row)]; }
  int Clip(int col, int n) const { return std::max(0, std::min(n, cols_ - col)); }

  void Rebuild(int cols, int rows) {
    cols = std::max(cols, 0);
    rows = std::max(rows, 0);
    std::vector<T> cells(static_cast<size_t>(cols) * rows, default_);
    int keepCols = std::min(cols, cols_);
    for (int r = 0; r < std::min(rows, rows_); ++r) {
      std::copy_n(Row(r), keepCols, cells.begin() + static_cast<ptrdiff_t>(r) * cols);
    }
    cells_ = std::move(cells);
    map_.resize(static_cast<size_t>(rows));
    std::iota(map_.begin(), map_.end(), 0u);
    head_ = 0;
    cols_ = cols;
    rows_ = rows;
  }

  T default_;
  std::vector<T> cells_;
  std::vector<uint32_t> map_;  // ring of physical row numbers, logical row r at head_ + r
  size_t head_ = 0;
  int cols_ = 0;
  int rows_ = 0;
};

}  // namespace zarnik
