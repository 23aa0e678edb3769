// Validating construction of a CsrGraph from caller arrays, and the row pass
// that sorts each row by column and merges repeated columns.
//
// - Validation is one pass over row_ptrs and one over col_indices and
//   allocates nothing; the first failing test ends the call.
// - Already canonical input is moved into the graph untouched: no copy, no
//   allocation. Only a graph with an unsorted or repeated column pays for
//   the rebuild, which compacts col_indices and values in place.
// - Out of memory during the rebuild is an EmbeddingError, never a crash.
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "csr/csr_graph.h"
#include "csr/row_sort.h"
#include "error/fallible_alloc.h"
#include "error/internal_fault.h"

namespace graphripple {

namespace {

// The six structural tests, in their fixed order; their order and texts are
// part of the module's public contract (callers match the messages), so
// keep both exactly. Everything is unsigned:
// negative caller values arrive reinterpreted as very large numbers.
Status validate_csr(const std::vector<std::uint64_t>& row_ptrs,
                    const std::vector<std::uint64_t>& col_indices, const std::vector<double>& values,
                    std::uint64_t num_nodes) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  // num_nodes + 1 does not fit in 64 bits for the largest num_nodes, and no
  // array can have 2^64 elements, so that case always fails here.
  if (num_nodes == MAX || row_ptrs.size() != num_nodes + 1) {
    const std::string expected = num_nodes == MAX ? "18446744073709551616" : std::to_string(num_nodes + 1);
    return EmbeddingError::shape_mismatch("row_ptrs length " + std::to_string(row_ptrs.size()) +
                                          " must be num_nodes + 1 (" + expected + ")");
  }
  if (col_indices.size() != values.size())
    return EmbeddingError::shape_mismatch("col_indices and values must have the same length");
  if (row_ptrs.front() != 0)
    return EmbeddingError::shape_mismatch("row_ptrs[0] must be 0, got " + std::to_string(row_ptrs.front()));
  if (row_ptrs.back() != col_indices.size())
    return EmbeddingError::shape_mismatch("row_ptrs last element (" + std::to_string(row_ptrs.back()) +
                                          ") must equal col_indices length (" +
                                          std::to_string(col_indices.size()) + ")");
  for (std::size_t i = 0; i + 1 < row_ptrs.size(); ++i) {
    if (row_ptrs[i + 1] < row_ptrs[i])
      return EmbeddingError::shape_mismatch("row_ptrs must be monotonically non-decreasing, found " +
                                            std::to_string(row_ptrs[i]) + " followed by " +
                                            std::to_string(row_ptrs[i + 1]));
  }
  // Scanned as one array, not row by row, so the reported position is the
  // first bad one in storage order.
  for (std::size_t k = 0; k < col_indices.size(); ++k) {
    if (col_indices[k] >= num_nodes)
      return EmbeddingError::shape_mismatch("col_indices[" + std::to_string(k) + "] = " +
                                            std::to_string(col_indices[k]) +
                                            " is out of bounds for graph with " + std::to_string(num_nodes) +
                                            " nodes");
  }
  return Status::ok();
}

}  // namespace

Expected<CsrGraph> CsrGraph::from_csr(std::vector<std::uint64_t> row_ptrs,
                                      std::vector<std::uint64_t> col_indices, std::vector<double> values,
                                      std::uint64_t num_nodes) {
  if (Status valid = validate_csr(row_ptrs, col_indices, values, num_nodes); !valid)
    return std::move(valid).error();
  CsrGraph graph{std::move(row_ptrs), std::move(col_indices), std::move(values), num_nodes};
  if (Status sorted = graph.canonicalize(); !sorted) return std::move(sorted).error();
  return graph;
}

Status CsrGraph::canonicalize() {
  if (num_nodes == 0) return Status::ok();
  // Callers guarantee invariants 1-3; a graph that breaks the sizes would
  // make the in-place rebuild read outside the arrays.
  fault_unless(!row_ptrs.empty() && row_ptrs.size() - 1 == num_nodes && row_ptrs.front() == 0 &&
                   row_ptrs.back() == col_indices.size() && values.size() == col_indices.size(),
               "canonicalize: graph arrays do not match num_nodes");

  // Detection scan: find the first row that is not strictly increasing.
  std::uint64_t first_bad_row = num_nodes;
  std::uint64_t longest_row = 0;
  for (std::uint64_t i = 0; i < num_nodes; ++i) {
    const std::uint64_t begin = row_ptrs[i];
    const std::uint64_t end = row_ptrs[i + 1];
    fault_unless(begin <= end && end <= col_indices.size(), "canonicalize: row_ptrs decrease");
    if (end - begin > longest_row) longest_row = end - begin;
    if (first_bad_row != num_nodes) continue;
    for (std::uint64_t k = begin + 1; k < end; ++k) {
      if (col_indices[k - 1] >= col_indices[k]) {
        first_bad_row = i;
        break;
      }
    }
  }
  if (first_bad_row == num_nodes) return Status::ok();

  // Rebuild. Every buffer is reserved before anything is written, so a
  // refusal leaves the graph exactly as it was.
  std::vector<std::uint64_t> new_row_ptrs;
  if (Status reserved = try_reserve(new_row_ptrs, num_nodes + 1); !reserved) return reserved;
  detail::RowSorter sorter;
  if (Status reserved = sorter.reserve(longest_row); !reserved) return reserved;

  // Rows before the first bad one are already canonical and stay where they
  // are: w equals their end, so only their row_ptrs are carried over.
  new_row_ptrs.assign(row_ptrs.begin(), row_ptrs.begin() + std::ptrdiff_t(first_bad_row) + 1);
  std::uint64_t w = row_ptrs[first_bad_row];
  for (std::uint64_t i = first_bad_row; i < num_nodes; ++i) {
    const std::uint64_t begin = row_ptrs[i];
    const std::uint64_t end = row_ptrs[i + 1];
    // w <= begin always, so this row's pairs are copied out before any of
    // them can be overwritten.
    detail::RowPair* pairs = sorter.load(col_indices.data() + begin, values.data() + begin, end - begin);
    sorter.sort();
    for (std::uint64_t k = 0; k < end - begin; ++k) {
      if (k != 0 && pairs[k].column == col_indices[w - 1]) {
        values[w - 1] = pairs[k].weight + values[w - 1];
      } else {
        col_indices[w] = pairs[k].column;
        values[w] = pairs[k].weight;
        ++w;
      }
    }
    new_row_ptrs.push_back(w);
  }
  row_ptrs = std::move(new_row_ptrs);
  col_indices.resize(w);
  values.resize(w);
  return Status::ok();
}

}  // namespace graphripple
