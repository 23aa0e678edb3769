// Edge arrays grouped into rows: the CSR layout of a list of edges.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error/expected.h"

namespace graphripple {

/// Where group_edges_by_row writes: n + 1 row starts, and one column and
/// one value per edge.
struct EdgeRowsOutput {
  std::span<std::int64_t> row_ptrs;
  std::span<std::int64_t> columns;
  std::span<double> values;
};

/// Groups the edges (sources[k], targets[k], weights[k]) by source row,
/// each row keeping its edges in their given order (repeated edges stay
/// apart, for the fit to sum in that order): a stable counting sort on the
/// worker pool, the same bytes on any thread count. `weights` may be empty
/// (every weight 1.0). The value is the index of the first edge whose
/// source or target lies outside [0, n), with nothing written, or none;
/// the error is exhausted memory.
Expected<std::optional<std::uint64_t>> group_edges_by_row(std::span<const std::int64_t> sources,
                                                          std::span<const std::int64_t> targets,
                                                          std::span<const double> weights, std::uint64_t n,
                                                          const EdgeRowsOutput& out);

namespace detail {
/// The same on the calling thread alone: the reference the pool version
/// is tested against.
std::optional<std::uint64_t> group_edges_by_row_serial(std::span<const std::int64_t> sources,
                                                       std::span<const std::int64_t> targets,
                                                       std::span<const double> weights, std::uint64_t n,
                                                       const EdgeRowsOutput& out);
}  // namespace detail

}  // namespace graphripple
