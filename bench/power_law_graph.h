// Synthetic power-law graphs for the benchmarks: preferential attachment
// (each new node links to `m` earlier nodes chosen in proportion to their
// degree), with node ids shuffled so hubs are spread over the id range.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "csr/csr_graph.h"

namespace graphripple::bench {

inline CsrGraph power_law_graph(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> endpoints;  // every edge end once: sampling it is degree-proportional
  endpoints.reserve(2 * n * m);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> edges;
  edges.reserve(n * m);
  for (std::uint64_t v = 1; v < n; ++v) {
    for (std::uint64_t e = 0; e < std::min(m, v); ++e) {
      const std::uint64_t u = endpoints.empty() || rng() % 4 == 0 ? rng() % v : endpoints[rng() % endpoints.size()];
      edges.emplace_back(v, u);
      endpoints.push_back(u);
      endpoints.push_back(v);
    }
  }
  std::vector<std::uint64_t> label(n);
  std::iota(label.begin(), label.end(), 0);
  std::shuffle(label.begin(), label.end(), rng);

  // Counting sort by source into CSR; from_csr merges repeated pairs.
  std::vector<std::uint64_t> row_ptrs(n + 1, 0);
  for (const auto& [s, t] : edges) ++row_ptrs[label[s] + 1];
  std::partial_sum(row_ptrs.begin(), row_ptrs.end(), row_ptrs.begin());
  std::vector<std::uint64_t> cols(edges.size());
  std::vector<double> values(edges.size());
  std::vector<std::uint64_t> fill(row_ptrs.begin(), row_ptrs.end() - 1);
  for (const auto& [s, t] : edges) {
    const std::uint64_t at = fill[label[s]]++;
    cols[at] = label[t];
    values[at] = 1.0 + double(rng() % 4);
  }
  return CsrGraph::from_csr(std::move(row_ptrs), std::move(cols), std::move(values), n).value();
}

}  // namespace graphripple::bench
