// Helpers shared by the whole-fit tests: graphs by hand and at random, and
// the bit comparison of results.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "algorithm/reference_fit.h"
#include "csr/csr_graph.h"

namespace graphripple::testing {

inline CsrGraph graph_of(std::uint64_t n, std::vector<std::uint64_t> row_ptrs, std::vector<std::uint64_t> cols,
                  std::vector<double> values) {
  return CsrGraph{std::move(row_ptrs), std::move(cols), std::move(values), n};
}

// Identical bits, any two NaNs matching (their payloads depend on operand
// order, which compilers may commute).
inline bool same_bits(const Dense& a, const Dense& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t r = 0; r < a.size(); ++r) {
    if (a[r].size() != b[r].size()) return false;
    for (std::size_t c = 0; c < a[r].size(); ++c)
      if (!(std::isnan(a[r][c]) && std::isnan(b[r][c])) &&
          std::bit_cast<std::uint32_t>(a[r][c]) != std::bit_cast<std::uint32_t>(b[r][c]))
        return false;
  }
  return true;
}

/// Random canonical graph: about edges_per_node entries per row, a few hub
/// columns, weights in [-1, 3) with some exact zeros; with `specials` also
/// some infinite and NaN weights.
inline CsrGraph random_graph(std::mt19937_64& rng, std::uint64_t n, std::uint64_t edges_per_node, bool specials) {
  std::vector<std::uint64_t> row_ptrs{0}, cols;
  std::vector<double> values;
  for (std::uint64_t r = 0; r < n; ++r) {
    const std::uint64_t degree = rng() % (2 * edges_per_node + 1);
    std::vector<std::uint64_t> row;
    for (std::uint64_t e = 0; e < degree; ++e) {
      // A few hubs take a large share of the edges, as in real graphs.
      row.push_back(rng() % 4 == 0 ? rng() % 16 : rng() % n);
    }
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
    for (auto c : row) {
      cols.push_back(c);
      double w = double(rng() % 1000) / 250.0 - 1.0;
      if (specials && rng() % 97 == 0) w = (rng() % 2) ? std::numeric_limits<double>::infinity() : std::nan("");
      if (rng() % 31 == 0) w = 0.0;
      values.push_back(w);
    }
    row_ptrs.push_back(cols.size());
  }
  return graph_of(n, std::move(row_ptrs), std::move(cols), std::move(values));
}

}  // namespace graphripple::testing
