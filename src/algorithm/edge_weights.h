// Edge-weight transforms, applied to a graph's merged, canonical entries
// before the fit symmetrises or transposes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "csr/csr_graph.h"

namespace graphripple {

enum class EdgeWeight {
  raw,     ///< as given
  binary,  ///< every stored entry 1.0
  log1p,   ///< log(1 + w) from the C library; negative and NaN weights refused
};

/// Rewrites graph.values in place. Returns the refusal text (the values are
/// then unchanged) when edge_weight is log1p and a weight is negative or
/// NaN; -0.0 is accepted and stays -0.0. With node_ids, the text names
/// node node_ids[i] for row or column i (a block of a larger graph).
std::optional<std::string> transform_edge_weights(CsrGraph& graph, EdgeWeight edge_weight,
                                                  const std::uint64_t* node_ids = nullptr);

/// The first stored entry that log1p refuses (negative or NaN), if any.
std::optional<std::uint64_t> first_log1p_refusal(const CsrGraph& graph);

}  // namespace graphripple
