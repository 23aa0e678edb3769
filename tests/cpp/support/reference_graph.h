// Slow, obvious references for graphs, shared by the tests and the fuzz
// targets: one map per row, the canonical rows of caller arrays, and
// A + A^T. Nothing here depends on GoogleTest.
//
// - reference_rows sums repeated columns in stored order, each later weight
//   added in front of the running sum, as the builders do.
// - reference_symmetrize: an entry stored in one direction becomes w + 0.0,
//   one stored in both becomes a_ij + a_ji (one addition, the same bits
//   either way round), and sums equal to 0.0 are dropped.
// - symmetrized_graph materialises the engine's own merge of A + A^T
//   (SymmetrizedRows) as a graph, for checks and benchmarks that want one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"
#include "support/same_bits.h"

namespace graphripple::test {

/// One map per row: column -> weight.
using RowMaps = std::vector<std::map<std::uint64_t, double>>;

/// Adds weight at (row, column), in front of what is already there.
inline void add_entry(RowMaps& rows, std::uint64_t row, std::uint64_t column, double weight) {
  auto [it, fresh] = rows[row].try_emplace(column, weight);
  if (!fresh) it->second = weight + it->second;
}

/// The rows of caller CSR arrays with repeated columns summed.
inline RowMaps reference_rows(const std::vector<std::uint64_t>& row_ptrs, const std::vector<std::uint64_t>& cols,
                              const std::vector<double>& vals) {
  RowMaps rows(row_ptrs.size() - 1);
  for (std::size_t i = 0; i + 1 < row_ptrs.size(); ++i)
    for (std::uint64_t k = row_ptrs[i]; k < row_ptrs[i + 1]; ++k) add_entry(rows, i, cols[k], vals[k]);
  return rows;
}

/// The rows of a graph as stored (no checks).
inline RowMaps rows_of(const CsrGraph& g) {
  RowMaps rows(g.num_nodes);
  for (std::uint64_t i = 0; i < g.num_nodes; ++i)
    for (std::uint64_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) rows[i][g.col_indices[k]] = g.values[k];
  return rows;
}

/// A + A^T with the sums equal to 0.0 dropped.
inline RowMaps reference_symmetrize(const RowMaps& a) {
  RowMaps s(a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (const auto& [j, w] : a[i]) {
      const auto back = a[j].find(i);
      s[i][j] = back == a[j].end() ? w + 0.0 : w + back->second;
      if (back == a[j].end()) s[j][i] = w + 0.0;
    }
  for (auto& row : s) std::erase_if(row, [](const auto& entry) { return entry.second == 0.0; });
  return s;
}

/// Same columns in every row and weights with the same bits.
inline bool same_rows(const RowMaps& a, const RowMaps& b) {
  const auto same = [](const auto& x, const auto& y) { return x.first == y.first && same_bits(x.second, y.second); };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].size() != b[i].size() || !std::equal(a[i].begin(), a[i].end(), b[i].begin(), same)) return false;
  return true;
}

/// A + A^T as the engine merges it, stored as a graph; the structure error or
/// out-of-memory error of SymmetrizedRows::prepare otherwise.
inline Expected<CsrGraph> symmetrized_graph(const CsrGraph& graph) {
  auto rows = SymmetrizedRows::prepare(graph);
  if (!rows) return std::move(rows).error();
  CsrGraph result;
  result.num_nodes = graph.num_nodes;
  result.row_ptrs.reserve(graph.num_nodes + 1);
  result.col_indices.reserve(rows->max_entries());
  result.values.reserve(rows->max_entries());
  result.row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < graph.num_nodes; ++i) {
    rows->merge_row(i, [&result](std::uint64_t column, double value) {
      result.col_indices.push_back(column);
      result.values.push_back(value);
    });
    result.row_ptrs.push_back(result.col_indices.size());
  }
  return result;
}

}  // namespace graphripple::test
