// Edge-weight transforms, applied to a graph's merged, canonical entries
// before the fit symmetrises or transposes it.
#pragma once

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
/// NaN; -0.0 is accepted and stays -0.0.
std::optional<std::string> transform_edge_weights(CsrGraph& graph, EdgeWeight edge_weight);

}  // namespace graphripple
