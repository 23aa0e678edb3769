// Edge-weight transforms: one pass over the stored values.
#include "algorithm/edge_weights.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace graphripple {

namespace {

std::string refusal(const CsrGraph& graph, std::uint64_t k, const std::uint64_t* node_ids) {
  // The row holding entry k: the last row start not above k.
  const auto after = std::upper_bound(graph.row_ptrs.begin(), graph.row_ptrs.end(), k);
  std::uint64_t row = std::uint64_t(after - graph.row_ptrs.begin()) - 1;
  std::uint64_t column = graph.col_indices[k];
  if (node_ids != nullptr) {
    row = node_ids[row];
    column = node_ids[column];
  }
  char value[32];
  std::snprintf(value, sizeof value, "%.17g", graph.values[k]);
  return "edge_weight='log1p' needs non-negative edge weights, but the weight of edge " + std::to_string(row) +
         " -> " + std::to_string(column) + " is " + value;
}

}  // namespace

std::optional<std::uint64_t> first_log1p_refusal(const CsrGraph& graph) {
  for (std::uint64_t k = 0; k < graph.values.size(); ++k)
    if (!(graph.values[k] >= 0.0)) return k;  // negative or NaN
  return std::nullopt;
}

std::optional<std::string> transform_edge_weights(CsrGraph& graph, EdgeWeight edge_weight,
                                                  const std::uint64_t* node_ids) {
  std::vector<double>& values = graph.values;
  switch (edge_weight) {
    case EdgeWeight::raw:
      break;
    case EdgeWeight::binary:
      std::fill(values.begin(), values.end(), 1.0);
      break;
    case EdgeWeight::log1p:
      // Checked in full first, so a refusal leaves the graph as it was.
      if (auto k = first_log1p_refusal(graph)) return refusal(graph, *k, node_ids);
      for (double& v : values) v = std::log1p(v);
      break;
  }
  return std::nullopt;
}

}  // namespace graphripple
