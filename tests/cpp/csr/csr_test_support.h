// Shared helpers for the graph-builder tests: error checks, an invariant
// checker, and slow map-based reference builders to compare the fast paths
// against.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "csr/csr_graph.h"

namespace graphripple::test {

/// One map per row: column -> weight.
using RowMaps = std::vector<std::map<std::uint64_t, double>>;

inline ::testing::AssertionResult fails_with(const EmbeddingError& error, const std::string& text) {
  if (!error.is_shape_mismatch()) return ::testing::AssertionFailure() << "not a message error: " << error.display();
  if (error.message() != text) return ::testing::AssertionFailure() << "message was: " << error.message();
  return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult fails_with(const Expected<T>& result, const std::string& text) {
  if (result.has_value()) return ::testing::AssertionFailure() << "succeeded, expected: " << text;
  return fails_with(result.error(), text);
}

/// Same bits, or both NaN: the builders must not perturb a weight.
inline bool same_weight(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

/// Checks the four invariants every finished graph must satisfy.
inline ::testing::AssertionResult is_canonical(const CsrGraph& g) {
  if (g.row_ptrs.size() != g.num_nodes + 1 || g.row_ptrs.front() != 0 || g.row_ptrs.back() != g.nnz() ||
      g.values.size() != g.nnz())
    return ::testing::AssertionFailure() << "array sizes do not fit";
  for (std::uint64_t i = 0; i < g.num_nodes; ++i) {
    if (g.row_ptrs[i] > g.row_ptrs[i + 1]) return ::testing::AssertionFailure() << "row_ptrs decrease at " << i;
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) {
      if (g.col_indices[k] >= g.num_nodes) return ::testing::AssertionFailure() << "column out of range at " << k;
      if (k > g.row_ptrs[i] && g.col_indices[k - 1] >= g.col_indices[k])
        return ::testing::AssertionFailure() << "row " << i << " not strictly increasing";
    }
  }
  return ::testing::AssertionSuccess();
}

inline RowMaps to_maps(const CsrGraph& g) {
  RowMaps rows(g.num_nodes);
  for (std::uint64_t i = 0; i < g.num_nodes; ++i)
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) rows[i][g.col_indices[k]] = g.values[k];
  return rows;
}

inline ::testing::AssertionResult same_rows(const RowMaps& got, const RowMaps& want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "node counts differ";
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].size() != want[i].size()) return ::testing::AssertionFailure() << "row " << i << " lengths differ";
    for (auto g = got[i].begin(), w = want[i].begin(); g != got[i].end(); ++g, ++w)
      if (g->first != w->first || !same_weight(g->second, w->second))
        return ::testing::AssertionFailure() << "row " << i << " differs at column " << w->first;
  }
  return ::testing::AssertionSuccess();
}

/// Reference canonicalisation: weights of a repeated column summed in stored
/// order, each new weight added in front of the running sum.
inline RowMaps reference_rows(const std::vector<std::uint64_t>& row_ptrs, const std::vector<std::uint64_t>& cols,
                              const std::vector<double>& vals) {
  RowMaps rows(row_ptrs.size() - 1);
  for (std::size_t i = 0; i + 1 < row_ptrs.size(); ++i)
    for (std::uint64_t k = row_ptrs[i]; k < row_ptrs[i + 1]; ++k) {
      auto [it, fresh] = rows[i].try_emplace(cols[k], vals[k]);
      if (!fresh) it->second = vals[k] + it->second;
    }
  return rows;
}

/// Reference A + A^T with the zero sums dropped.
inline RowMaps reference_symmetrize(const RowMaps& a) {
  RowMaps at(a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (const auto& [j, w] : a[i]) at[j][i] = w;
  RowMaps s(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::map<std::uint64_t, double> row;
    for (const auto& [j, w] : a[i]) row[j] = at[i].count(j) ? w + at[i].at(j) : w + 0.0;
    for (const auto& [j, w] : at[i])
      if (!a[i].count(j)) row[j] = w + 0.0;
    for (const auto& [j, w] : row)
      if (w != 0.0) s[i][j] = w;
  }
  return s;
}

}  // namespace graphripple::test
