// The random sign projection: entries +sqrt(3), 0, -sqrt(3) with
// probabilities 1/6, 2/3, 1/6, each row drawn from its own RowGenerator
// seeded with base + row, so the matrix never depends on the thread count.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "algorithm/dense_matrix.h"
#include "error/expected.h"

namespace graphripple {

/// Single precision 1/6 (slightly above it).
inline constexpr float PROJECTION_DENSITY = std::bit_cast<float>(0x3E2AAAABu);
/// Single precision sqrt(3).
inline constexpr float PROJECTION_VALUE = std::bit_cast<float>(0x3FDDB3D7u);

/// rows x cols projection drawn from `seed`, or from one draw of the calling
/// thread's thread_rng when no seed is given. Rows run on the worker pool.
Expected<MatrixF32> build_projection_matrix(std::uint64_t rows, std::uint64_t cols,
                                            std::optional<std::uint64_t> seed);

/// Columns [start, stop) of build_projection_matrix(rows, cols, seed) for
/// any cols >= stop, drawn without the columns from stop on. start <= stop.
/// With `drawn_rows` (a permutation of the rows), row k of the result is
/// row drawn_rows[k] of that matrix.
Expected<MatrixF32> build_projection_columns(std::uint64_t rows, std::uint64_t start, std::uint64_t stop,
                                             std::optional<std::uint64_t> seed,
                                             const std::uint64_t* drawn_rows = nullptr);

}  // namespace graphripple
