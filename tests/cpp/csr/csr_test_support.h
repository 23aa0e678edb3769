// Helpers for the graph-builder tests: error checks, and slow map-based
// references that the fast builders are compared against.
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

using U64s = std::vector<std::uint64_t>;
using Doubles = std::vector<double>;
/// One map per row: column -> weight.
using RowMaps = std::vector<std::map<std::uint64_t, double>>;

template <class Result>
::testing::AssertionResult fails_with(const Result& result, const std::string& text) {
  if (result) return ::testing::AssertionFailure() << "succeeded, expected: " << text;
  if (result.error().message() != text) return ::testing::AssertionFailure() << "got: " << result.error().display();
  return ::testing::AssertionSuccess();
}

/// The rows of `g` as maps, after checking the four graph invariants.
inline RowMaps canonical_rows(const CsrGraph& g) {
  EXPECT_EQ(g.row_ptrs.size(), g.num_nodes + 1);
  EXPECT_EQ(g.row_ptrs.front(), 0u);
  EXPECT_EQ(g.row_ptrs.back(), g.nnz());
  EXPECT_EQ(g.values.size(), g.nnz());
  RowMaps rows(g.num_nodes);
  for (std::uint64_t i = 0; i < g.num_nodes; ++i)
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) {
      EXPECT_LT(g.col_indices[k], g.num_nodes);
      if (k > g.row_ptrs[i]) {
        EXPECT_LT(g.col_indices[k - 1], g.col_indices[k]) << "row " << i;
      }
      rows[i][g.col_indices[k]] = g.values[k];
    }
  return rows;
}

/// Equal columns and weights with equal bits (any NaN matches any NaN).
inline bool same_rows(const RowMaps& a, const RowMaps& b) {
  auto same = [](const auto& x, const auto& y) {
    return x.first == y.first && ((std::isnan(x.second) && std::isnan(y.second)) ||
                                  std::bit_cast<std::uint64_t>(x.second) == std::bit_cast<std::uint64_t>(y.second));
  };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].size() != b[i].size() || !std::equal(a[i].begin(), a[i].end(), b[i].begin(), same)) return false;
  return true;
}

/// Repeated columns summed in stored order, each weight added in front.
inline RowMaps reference_rows(const U64s& row_ptrs, const U64s& cols, const Doubles& vals) {
  RowMaps rows(row_ptrs.size() - 1);
  for (std::size_t i = 0; i + 1 < row_ptrs.size(); ++i)
    for (std::uint64_t k = row_ptrs[i]; k < row_ptrs[i + 1]; ++k) {
      auto [it, fresh] = rows[i].try_emplace(cols[k], vals[k]);
      if (!fresh) it->second = vals[k] + it->second;
    }
  return rows;
}

/// A + A^T with the sums equal to 0.0 dropped.
inline RowMaps reference_symmetrize(const RowMaps& a) {
  RowMaps at(a.size()), s(a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (const auto& [j, w] : a[i]) at[j][i] = w;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto row = at[i];
    for (auto& [j, w] : row) w = w + 0.0;
    for (const auto& [j, w] : a[i]) row[j] = at[i].count(j) ? w + at[i].at(j) : w + 0.0;
    for (const auto& [j, w] : row)
      if (w != 0.0) s[i][j] = w;
  }
  return s;
}

}  // namespace graphripple::test
