// Blending projected node features into the node projection.
//
// For node a and column c the feature sum runs over j ascending, skipping
// zero features and zero projection entries, each product and sum rounded
// to float32. The loop walks j outermost over a row-local sum vector: every
// column still sees its terms in ascending j, so the bits are those of the
// column-by-column definition while the projection is read row by row.
#include "algorithm/initial_embedding.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "algorithm/projection_matrix.h"
#include "algorithm/row_loop.h"
#include "error/internal_fault.h"

namespace graphripple {

Expected<MatrixF32> initial_embedding(std::uint64_t n, std::uint64_t dim, std::optional<std::uint64_t> seed,
                                      const MatrixViewF64* node_features, double feature_weight) {
  return initial_embedding_columns(n, 0, dim, seed, node_features, feature_weight);
}

Expected<MatrixF32> initial_embedding_columns(std::uint64_t n, std::uint64_t start, std::uint64_t stop,
                                              std::optional<std::uint64_t> seed,
                                              const MatrixViewF64* node_features, double feature_weight,
                                              std::uint64_t first_row, const std::uint64_t* drawn_rows) {
  const std::uint64_t dim = stop - start;  // the columns held here
  fault_unless(first_row == 0 || seed, "initial_embedding: a row range needs a seed");
  // Row i is drawn from base + i alone, so a range starting at first_row
  // is the projection drawn from base + first_row.
  auto projection =
      build_projection_columns(n, start, stop, seed ? std::optional(*seed + first_row) : seed, drawn_rows);
  if (!projection || node_features == nullptr) return projection;
  MatrixF32 p = std::move(projection).value();

  const MatrixViewF64& features = *node_features;
  if (features.rows != n) {
    return EmbeddingError::shape_mismatch("Node features row count " + std::to_string(features.rows) +
                                          " does not match graph node count " + std::to_string(n));
  }
  const std::uint64_t f = features.cols;
  if (f == 0) return p;

  const std::optional<std::uint64_t> feature_seed =
      seed ? std::optional<std::uint64_t>(*seed + FEATURE_SEED_OFFSET) : std::nullopt;
  auto feature_projection = build_projection_columns(f, start, stop, feature_seed);
  if (!feature_projection) return std::move(feature_projection).error();
  const MatrixF32& fp = feature_projection.value();
  const float beta = static_cast<float>(feature_weight);

  auto blend = [&](std::size_t lo, std::size_t hi) {
    std::vector<float> sums(dim);
    for (std::uint64_t a = lo; a < hi; ++a) {
      const std::uint64_t node = drawn_rows != nullptr ? drawn_rows[a] : a;
      std::fill(sums.begin(), sums.end(), 0.0f);
      for (std::uint64_t j = 0; j < f; ++j) {
        const float x = static_cast<float>(features.at(node, j));
        if (x == 0.0f) continue;
        const float* m_row = fp.row(j);
        for (std::uint64_t c = 0; c < dim; ++c) {
          const float m = m_row[c];
          if (m == 0.0f) continue;
          const float product = m * x;
          sums[c] = sums[c] + product;
        }
      }
      float* row = p.row(a);
      for (std::uint64_t c = 0; c < dim; ++c) {
        const float product = sums[c] * beta;
        row[c] = product + row[c];
      }
    }
  };
  const std::uint64_t cells = n * dim;  // bounded: P exists
  const std::uint64_t work = f + 1 > UINT64_MAX / std::max<std::uint64_t>(cells, 1) ? UINT64_MAX : cells * (f + 1);
  for_row_ranges(n, work, RangeBody(blend));
  return p;
}

}  // namespace graphripple
