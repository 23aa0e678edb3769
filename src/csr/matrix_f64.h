// MatrixF64: an owned matrix of 64-bit floats addressed through its strides.
//
// Dense adjacency input and node features keep the caller's layout (row-major,
// column-major, reversed axes) when it is one block; readers always go
// through (row, column) and the strides, never through memory order.
#pragma once

#include <cstdint>
#include <vector>

namespace graphripple {

/// Read-only view: element (r, c) is origin[r * row_stride + c * col_stride].
struct MatrixViewF64 {
  const double* origin = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::int64_t row_stride = 0;  ///< in elements, may be negative
  std::int64_t col_stride = 0;  ///< in elements, may be negative

  double at(std::uint64_t r, std::uint64_t c) const {
    return origin[std::int64_t(r) * row_stride + std::int64_t(c) * col_stride];
  }
};

/// Owned storage plus the view that addresses it.
struct MatrixF64 {
  std::vector<double> storage;
  std::uint64_t origin_offset = 0;  ///< index of element (0, 0) in storage
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;

  MatrixViewF64 view() const {
    return {storage.data() + origin_offset, rows, cols, row_stride, col_stride};
  }
};

}  // namespace graphripple
