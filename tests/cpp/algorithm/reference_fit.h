// A slow, obviously-correct serial fit used to check the engine: ordered
// maps for the symmetrised graph, element-by-element float32 arithmetic in
// the defining order, no fusion, no SIMD, no threads.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "algorithm/fit_params.h"
#include "algorithm/projection_matrix.h"
#include "csr/csr_graph.h"

namespace graphripple::testing {

using Rows = std::vector<std::map<std::uint64_t, double>>;

inline Rows rows_of(const CsrGraph& graph, bool undirected) {
  Rows rows(graph.num_nodes);
  for (std::uint64_t r = 0; r < graph.num_nodes; ++r)
    for (std::uint64_t k = graph.row_ptrs[r]; k < graph.row_ptrs[r + 1]; ++k) rows[r][graph.col_indices[k]] = graph.values[k];
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

/// The whole fit from the definition. X0 is drawn by the engine's own
/// projection (checked separately against published digests).
inline Dense reference_fit(const CsrGraph& graph, const FitParams& params) {
  const Rows rows = rows_of(graph, params.undirected);
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
    x = std::move(next);
  }
  return acc;
}

}  // namespace graphripple::testing
