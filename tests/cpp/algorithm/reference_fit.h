// A slow, obviously-correct serial fit used to check the engine: ordered
// maps for the symmetrised graph, element-by-element float32 arithmetic in
// the defining order, no fusion, no SIMD, no threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include <cmath>
#include <limits>

#include "algorithm/fit_options.h"
#include "algorithm/fit_params.h"
#include "algorithm/projection_matrix.h"
#include "csr/csr_graph.h"

namespace graphripple::testing {

using Rows = std::vector<std::map<std::uint64_t, double>>;

inline Rows rows_of(const CsrGraph& graph, bool undirected, Direction direction = Direction::out) {
  Rows rows(graph.num_nodes);
  for (std::uint64_t r = 0; r < graph.num_nodes; ++r)
    for (std::uint64_t k = graph.row_ptrs[r]; k < graph.row_ptrs[r + 1]; ++k) rows[r][graph.col_indices[k]] = graph.values[k];
  if (!undirected && direction == Direction::in) {
    Rows transposed(graph.num_nodes);
    for (std::uint64_t r = 0; r < graph.num_nodes; ++r)
      for (const auto& [c, w] : rows[r]) transposed[c][r] = w;
    return transposed;
  }
  if (!undirected) return rows;
  Rows sym(graph.num_nodes);
  for (std::uint64_t r = 0; r < graph.num_nodes; ++r) {
    for (const auto& [c, w] : rows[r]) {
      const auto back = rows[c].find(r);
      sym[r][c] = back == rows[c].end() ? w + 0.0 : w + back->second;
      if (back == rows[c].end()) sym[c][r] = w + 0.0;
    }
  }
  for (auto& row : sym) std::erase_if(row, [](const auto& entry) { return !(entry.second != 0.0); });
  return sym;
}

using Dense = std::vector<std::vector<float>>;

inline Dense dense_of(const MatrixF32& m) {
  Dense out(m.rows, std::vector<float>(m.cols));
  for (std::uint64_t r = 0; r < m.rows; ++r)
    for (std::uint64_t c = 0; c < m.cols; ++c) out[r][c] = m.at(r, c);
  return out;
}

/// Unit Euclidean norm with sixteen partial sums (element j into sum
/// j mod 16), folded 16 -> 8 -> 4 -> 2 -> 1, then row * (1 / sqrt(total));
/// totals that are not normal floats rescale by the largest magnitude.
inline void reference_normalize(std::vector<float>& row) {
  auto total_of = [](const std::vector<float>& x) {
    float partial[16] = {};
    for (std::size_t j = 0; j < x.size(); ++j) {
      const float square = x[j] * x[j];
      partial[j % 16] = square + partial[j % 16];
    }
    float q[8], r[4], s[2];
    for (int l = 0; l < 8; ++l) q[l] = partial[l] + partial[l + 8];
    for (int l = 0; l < 4; ++l) r[l] = q[l] + q[l + 4];
    for (int l = 0; l < 2; ++l) s[l] = r[l] + r[l + 2];
    return s[0] + s[1];
  };
  float total = total_of(row);
  const bool normal = total >= std::numeric_limits<float>::min() && total <= std::numeric_limits<float>::max();
  if (!normal && !std::isnan(total)) {
    float largest = 0.0f;
    for (float v : row) largest = std::max(largest, std::fabs(v));
    if (largest == 0.0f) return;
    for (float& v : row) v = v / largest;
    total = total_of(row);
  }
  const float factor = 1.0f / std::sqrt(total);
  for (float& v : row) v = v * factor;
}

/// The whole fit from the definition. X0 is drawn by the engine's own
/// projection (checked separately against published digests); with a
/// column range the full fit is computed and then sliced.
inline Dense reference_fit(const CsrGraph& graph, const FitParams& params, const FitOptions& options = {}) {
  const Rows rows = rows_of(graph, params.undirected, options.direction);
  const std::uint64_t n = graph.num_nodes, dim = params.dim;
  Dense x = dense_of(build_projection_matrix(n, dim, params.seed).value());
  if (params.node_features && params.node_features->cols > 0) {
    const MatrixViewF64 features = params.node_features->view();
    const Dense fp = dense_of(build_projection_matrix(features.cols, dim, *params.seed + 0x9E3779B97F4A7C15ull).value());
    const float beta = static_cast<float>(params.feature_weight);
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t c = 0; c < dim; ++c) {
        float sum = 0.0f;
        for (std::uint64_t j = 0; j < features.cols; ++j) {
          const float v = static_cast<float>(features.at(a, j));
          if (v == 0.0f || fp[j][c] == 0.0f) continue;
          const float product = fp[j][c] * v;
          sum = sum + product;
        }
        const float product = sum * beta;
        x[a][c] = product + x[a][c];
      }
    }
  }
  if (options.degree_exponent != 0.0) {
    for (std::uint64_t a = 0; a < n; ++a) {
      if (rows[a].empty()) continue;
      const float factor = static_cast<float>(std::pow(double(rows[a].size()), options.degree_exponent));
      for (float& v : x[a]) v = v * factor;
    }
  }
  Dense acc(n, std::vector<float>(dim, 0.0f));
  for (std::size_t i = 0; i < params.weights.size(); ++i) {
    if (params.weights[i] != 0.0) {
      const float w = static_cast<float>(params.weights[i]);
      for (std::uint64_t r = 0; r < n; ++r)
        for (std::uint64_t c = 0; c < dim; ++c) {
          const float product = x[r][c] * w;
          acc[r][c] = product + acc[r][c];
        }
    }
    if (i + 1 == params.weights.size()) break;
    Dense next(n, std::vector<float>(dim, 0.0f));
    for (std::uint64_t r = 0; r < n; ++r) {
      const float inv = rows[r].empty() ? 0.0f : 1.0f / static_cast<float>(rows[r].size());
      for (const auto& [col, value] : rows[r]) {
        const float s = static_cast<float>(value) * inv;
        for (std::uint64_t c = 0; c < dim; ++c) {
          const float product = x[col][c] * s;
          next[r][c] = product + next[r][c];
        }
      }
    }
    if (options.normalize)
      for (auto& row : next) reference_normalize(row);
    x = std::move(next);
  }
  if (options.column_start || options.column_stop) {
    const std::uint64_t start = options.column_start.value_or(0), stop = options.column_stop.value_or(dim);
    for (auto& row : acc) row = std::vector<float>(row.begin() + std::ptrdiff_t(start), row.begin() + std::ptrdiff_t(stop));
  }
  return acc;
}

}  // namespace graphripple::testing
