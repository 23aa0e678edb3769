// Graph building at scale: from_csr on canonical and on unsorted input, and
// the rows of A + A^T as an undirected fit reads them (the transpose, then
// every row merged once), on a random graph.
//
//   csr_build_bench [nodes] [edges]   (defaults: 1000000 10000000)
//
// Each stage is run several times and the best time printed. Beside it is a
// floor: one plain copy of the same arrays, the least any linear pass over
// them can cost, and the ratio to it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "csr/csr_graph.h"
#include "csr/symmetrized_rows.h"

using namespace graphripple;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Arrays {
  std::vector<std::uint64_t> row_ptrs, col_indices;
  std::vector<double> values;
};

// Uniform random edges; rows sorted and de-duplicated when `canonical`,
// otherwise left in generation order with repeats.
Arrays random_graph(std::uint64_t n, std::uint64_t edges, bool canonical) {
  std::mt19937_64 rng(42);
  std::vector<std::uint64_t> degree(n, 0);
  for (std::uint64_t e = 0; e < edges; ++e) ++degree[rng() % n];
  Arrays a;
  a.row_ptrs.reserve(n + 1);
  a.row_ptrs.push_back(0);
  a.col_indices.reserve(edges);
  a.values.reserve(edges);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto begin = a.col_indices.end() - a.col_indices.begin();
    for (std::uint64_t k = 0; k < degree[i]; ++k) a.col_indices.push_back(rng() % n);
    if (canonical) {
      std::sort(a.col_indices.begin() + begin, a.col_indices.end());
      a.col_indices.erase(std::unique(a.col_indices.begin() + begin, a.col_indices.end()), a.col_indices.end());
    }
    a.row_ptrs.push_back(a.col_indices.size());
  }
  for (std::uint64_t k = 0; k < a.col_indices.size(); ++k) a.values.push_back(double(rng() % 1000) / 100.0 + 0.01);
  return a;
}

template <class F>
double best_of(int repeats, F&& run) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) best = std::min(best, run());
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::uint64_t edges = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000000;
  constexpr int REPEATS = 5;

  const Arrays canonical = random_graph(n, edges, true);
  const Arrays unsorted = random_graph(n, edges, false);
  std::printf("graph: %llu nodes, %llu edges canonical / %llu unsorted\n", (unsigned long long)n,
              (unsigned long long)canonical.col_indices.size(), (unsigned long long)unsorted.col_indices.size());

  // The inputs are copied outside the timed region: from_csr takes its
  // arrays by move, as the module hands them over.
  auto time_from_csr = [&](const Arrays& input) {
    Arrays copy = input;
    const auto start = Clock::now();
    auto graph = CsrGraph::from_csr(std::move(copy.row_ptrs), std::move(copy.col_indices), std::move(copy.values), n);
    const double t = seconds_since(start);
    if (!graph) std::abort();
    return t;
  };
  const double copy_floor = best_of(REPEATS, [&] {
    const auto start = Clock::now();
    Arrays copy = canonical;
    const double t = seconds_since(start);
    if (copy.values.size() != canonical.values.size()) std::abort();
    return t;
  });
  const double t_canonical = best_of(REPEATS, [&] { return time_from_csr(canonical); });
  const double t_unsorted = best_of(REPEATS, [&] { return time_from_csr(unsorted); });

  const CsrGraph graph =
      CsrGraph::from_csr(canonical.row_ptrs, canonical.col_indices, canonical.values, n).value();
  std::uint64_t sym_nnz = 0;
  const double t_sym = best_of(REPEATS, [&] {
    const auto start = Clock::now();
    auto rows = SymmetrizedRows::prepare(graph);
    if (!rows) std::abort();
    std::uint64_t entries = 0;
    for (std::uint64_t i = 0; i < n; ++i) rows->merge_row(i, [&entries](std::uint64_t, double) { ++entries; });
    const double t = seconds_since(start);
    sym_nnz = entries;
    return t;
  });

  std::printf("%-28s %8.3f s\n", "copy of the arrays (floor)", copy_floor);
  std::printf("%-28s %8.3f s  %6.2fx floor\n", "from_csr, canonical input", t_canonical, t_canonical / copy_floor);
  std::printf("%-28s %8.3f s  %6.2fx floor\n", "from_csr, unsorted input", t_unsorted, t_unsorted / copy_floor);
  std::printf("%-28s %8.3f s  %6.2fx floor  (%llu entries)\n", "rows of A + A^T", t_sym, t_sym / copy_floor,
              (unsigned long long)sym_nnz);
  std::printf("%-28s %8.3f s\n", "from_csr + rows of A + A^T", t_canonical + t_sym);
  return 0;
}
