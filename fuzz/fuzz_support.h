// Shared pieces of the fuzz targets: the failure report, the graph
// invariant check, the row comparison against the map-based references of
// tests/cpp/support/reference_graph.h, and the decoding of weights from
// input bytes.
//
// - Any broken expectation prints one line and aborts, which libFuzzer
//   records as a crash together with the input that caused it.
// - Decoded weights are small integers, halves and a few special values, so
//   every sum of them is exact and independent of the order of addition;
//   the targets can therefore compare merged weights bit for bit (NaN
//   matching any NaN).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "csr/csr_graph.h"
#include "support/reference_graph.h"

namespace graphripple::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void check(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

using test::add_entry;
using test::reference_symmetrize;
using test::RowMaps;
using test::rows_of;
using test::same_bits;

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

inline void check_rows(const RowMaps& got, const RowMaps& want, const char* where) {
  check(got.size() == want.size(), std::string(where) + ": wrong number of rows");
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::string at = std::string(where) + ": row " + std::to_string(i);
    check(got[i].size() == want[i].size(), at + " has the wrong entries");
    for (auto g = got[i].begin(), w = want[i].begin(); g != got[i].end(); ++g, ++w) {
      check(g->first == w->first, at + " has the wrong columns");
      check(same_bits(g->second, w->second), at + " column " + std::to_string(g->first) + " has weight " +
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
