// Helpers for the graph-builder tests: error checks and the invariant check
// of built graphs; the map-based references are in support/reference_graph.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "csr/csr_graph.h"
#include "support/reference_graph.h"

namespace graphripple::test {

using U64s = std::vector<std::uint64_t>;
using Doubles = std::vector<double>;

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

}  // namespace graphripple::test
