// The starting matrix X0: the node projection, plus the node features
// projected into the same space and scaled by the feature weight.
#pragma once

#include <cstdint>
#include <optional>

#include "algorithm/dense_matrix.h"
#include "csr/matrix_f64.h"
#include "error/expected.h"

namespace graphripple {

/// Added (mod 2^64) to the caller's seed to seed the feature projection.
inline constexpr std::uint64_t FEATURE_SEED_OFFSET = 0x9E3779B97F4A7C15ull;

/// X0 = P + f32(feature_weight) * (features * F), with P the n x dim node
/// projection and F the f x dim feature projection.
Expected<MatrixF32> initial_embedding(std::uint64_t n, std::uint64_t dim, std::optional<std::uint64_t> seed,
                                      const MatrixViewF64* node_features, double feature_weight);

/// Columns [start, stop) of the starting matrix of any dim >= stop: both
/// projections are drawn for those columns alone, with the same streams.
/// With first_row > 0 (a seed is then required) the n rows are rows
/// [first_row, first_row + n) of the whole graph's starting matrix, and
/// node_features holds those rows' features. With `drawn_rows` (a
/// permutation of the n rows) row k of the result is row drawn_rows[k].
Expected<MatrixF32> initial_embedding_columns(std::uint64_t n, std::uint64_t start, std::uint64_t stop,
                                              std::optional<std::uint64_t> seed,
                                              const MatrixViewF64* node_features, double feature_weight,
                                              std::uint64_t first_row = 0, const std::uint64_t* drawn_rows = nullptr);

}  // namespace graphripple
