// MatrixF32: the engine's dense row-major matrix of 32-bit floats.
//
// Projection matrices, the work matrices of a fit and its result are all
// this type. Move-only: matrices change owner between stages, never copy.
#pragma once

#include <cstdint>

#include "error/expected.h"
#include "error/fallible_alloc.h"

namespace graphripple {

struct MatrixF32 {
  LargeBuffer<float> data;  ///< rows * cols elements, row-major
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;

  /// A zero-filled rows x cols matrix, or the out-of-memory error
  /// (rows * cols must not overflow; callers check that first).
  static Expected<MatrixF32> try_zeroed(std::uint64_t rows, std::uint64_t cols) {
    auto buffer = LargeBuffer<float>::try_zeroed(rows * cols);
    if (!buffer) return std::move(buffer).error();
    return MatrixF32{std::move(buffer).value(), rows, cols};
  }

  float* row(std::uint64_t r) { return data.data() + r * cols; }
  const float* row(std::uint64_t r) const { return data.data() + r * cols; }
  float& at(std::uint64_t r, std::uint64_t c) { return data[r * cols + c]; }
  float at(std::uint64_t r, std::uint64_t c) const { return data[r * cols + c]; }
};

}  // namespace graphripple
