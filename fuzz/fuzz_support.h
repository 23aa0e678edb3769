// Shared pieces of the fuzz targets: the failure report, the graph
// invariant check, a slow map-based reference of row merging, and the
// decoding of weights from input bytes.
//
// - Any broken expectation prints one line and aborts, which libFuzzer
//   records as a crash together with the input that caused it.
// - Decoded weights are small integers, halves and a few special values, so
//   every sum of them is exact and independent of the order of addition;
//   the targets can therefore compare merged weights bit for bit (NaN
//   matching any NaN).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "csr/csr_graph.h"

namespace graphripple::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void check(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

/// One map per row: column -> weight.
using RowMaps = std::vector<std::map<std::uint64_t, double>>;

/// Checks the four invariants every built graph must satisfy.
inline void check_invariants(const CsrGraph& g, const char* where) {
  const std::string at = std::string(where) + ": ";
  check(g.row_ptrs.size() == g.num_nodes + 1, at + "row_ptrs length is not num_nodes + 1");
  check(g.row_ptrs.front() == 0, at + "row_ptrs does not start at 0");
  check(g.row_ptrs.back() == g.nnz(), at + "row_ptrs does not end at nnz");
  check(g.values.size() == g.nnz(), at + "values and col_indices differ in length");
  for (std::uint64_t i = 0; i < g.num_nodes; ++i) {
    check(g.row_ptrs[i] <= g.row_ptrs[i + 1], at + "row_ptrs decreases at row " + std::to_string(i));
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) {
      check(g.col_indices[k] < g.num_nodes, at + "column out of range at entry " + std::to_string(k));
      if (k > g.row_ptrs[i])
        check(g.col_indices[k - 1] < g.col_indices[k],
              at + "columns not strictly increasing in row " + std::to_string(i));
    }
  }
}

/// The rows of a graph that already passed check_invariants.
inline RowMaps rows_of(const CsrGraph& g) {
  RowMaps rows(g.num_nodes);
  for (std::uint64_t i = 0; i < g.num_nodes; ++i)
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) rows[i][g.col_indices[k]] = g.values[k];
  return rows;
}

/// Adds one (row, column, weight) entry, summing a repeated column.
inline void add_entry(RowMaps& rows, std::uint64_t row, std::uint64_t column, double weight) {
  auto [it, fresh] = rows[row].try_emplace(column, weight);
  if (!fresh) it->second = weight + it->second;
}

/// A + A^T without the sums equal to 0.0.
inline RowMaps symmetrized(const RowMaps& a) {
  RowMaps s(a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (const auto& [j, w] : a[i]) {
      add_entry(s, i, j, w);
      add_entry(s, j, i, w);
    }
  for (auto& row : s) std::erase_if(row, [](const auto& entry) { return !(entry.second != 0.0); });
  return s;
}

inline bool same_weight(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline void check_rows(const RowMaps& got, const RowMaps& want, const char* where) {
  check(got.size() == want.size(), std::string(where) + ": wrong number of rows");
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::string at = std::string(where) + ": row " + std::to_string(i);
    check(got[i].size() == want[i].size(), at + " has the wrong entries");
    for (auto g = got[i].begin(), w = want[i].begin(); g != got[i].end(); ++g, ++w) {
      check(g->first == w->first, at + " has the wrong columns");
      check(same_weight(g->second, w->second), at + " column " + std::to_string(g->first) + " has weight " +
                                                   std::to_string(g->second) + ", want " +
                                                   std::to_string(w->second));
    }
  }
}

/// A weight whose sums with other decoded weights are exact.
inline double decode_weight(FuzzedDataProvider& data) {
  const std::uint8_t byte = data.ConsumeIntegral<std::uint8_t>();
  if (byte < 0xF0) return (static_cast<int>(byte) - 120) * 0.5;
  constexpr double INF = std::numeric_limits<double>::infinity();
  const double specials[] = {0.0, -0.0, INF, -INF, std::numeric_limits<double>::quiet_NaN(), 1.0, -1.0, 2.0};
  return specials[byte & 7];
}

}  // namespace graphripple::fuzz
