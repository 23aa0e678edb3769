// End-to-end fit on a synthetic power-law graph: phases, the cost of each
// option, and column blocks.
//
//   fit_bench [nodes] [edges_per_node] [dim] [repeats]   (defaults: 200000 5 128 3)
//
// Phases run through the same stage functions `fit` uses, and the whole
// `fit` is checked against the phased run byte for byte. Option and block
// rows are the best of `repeats` fits, taken in turns with the default fit
// so that a busy machine slows all of them alike.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "algorithm/edge_weights.h"
#include "algorithm/fit.h"
#include "algorithm/initial_embedding.h"
#include "algorithm/kernels.h"
#include "power_law_graph.h"
#include "pool/worker_pool.h"
#include "support/reference_graph.h"

using namespace graphripple;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double timed(const std::function<void()>& body) {
  const auto t = std::chrono::steady_clock::now();
  body();
  return seconds_since(t);
}

// User + system time of the whole process (all workers), in seconds: less
// sensitive than wall time to other processes on a shared machine.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Variant {
  std::string name;
  std::function<void()> run;
  double best = 1e300;
  double best_cpu = 1e300;
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  const std::uint64_t m = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5;
  const std::uint64_t dim = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 128;
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
  const std::vector<double> weights{0.0, 0.0, 1.0, 1.0};

  const CsrGraph graph = bench::power_law_graph(n, m, 1);
  std::printf("graph: %llu nodes, %llu stored entries, dim %llu, %zu workers\n", (unsigned long long)n,
              (unsigned long long)graph.nnz(), (unsigned long long)dim, current_num_threads());

  // ---- phases, as fit runs them for weights [0, 0, 1, 1] (two matrices)
  auto t = std::chrono::steady_clock::now();
  const SymmetrizedRows rows = SymmetrizedRows::prepare(graph).value();
  const TransitionMatrix transition = TransitionMatrix::from_symmetrized(rows).value();
  std::printf("%-26s %8.3f s  (%llu entries)\n", "A + A^T and edge scales", seconds_since(t),
              (unsigned long long)transition.scales.size());

  t = std::chrono::steady_clock::now();
  MatrixF32 current = initial_embedding(n, dim, 42, nullptr, 1.0).value();
  std::printf("%-26s %8.3f s  (%.1f M entries/s)\n", "projection", seconds_since(t),
              double(n * dim) / seconds_since(t) / 1e6);

  MatrixF32 next = MatrixF32::try_zeroed(n, dim).value();
  const double entry_dims = double(transition.scales.size() * dim);
  for (int i = 1; i <= 3; ++i) {
    PropagationOutput output;
    if (i < 3) {
      output.next = &next;
    } else {  // deferred first accumulation, fused into the last propagation
      output.accumulator = &next;
      output.weight = 1.0f;
      output.mode = AccumulateMode::deferred;
      output.deferred = &current;
      output.deferred_weight = 1.0f;
    }
    const double s = timed([&] { propagate(transition, current, output); });
    std::printf("propagation %d%-13s %8.3f s  (%.2f G entry-dims/s)\n", i, i == 1 ? " (fresh)" : "", s,
                entry_dims / s / 1e9);
    if (i < 3) std::swap(current, next);
  }
  // Steady state: the same propagation again on warm matrices.
  MatrixF32 warm = MatrixF32::try_zeroed(n, dim).value();
  PropagationOutput plain;
  plain.next = &warm;
  propagate(transition, current, plain);
  for (bool normalize : {false, true}) {
    plain.normalize = normalize;
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) best = std::min(best, timed([&] { propagate(transition, current, plain); }));
    std::printf("warm propagation%-10s %8.3f s  (%.2f G entry-dims/s)\n", normalize ? ", l2" : "", best,
                entry_dims / best / 1e9);
  }
  warm = MatrixF32{};
  current = MatrixF32{};

  FitParams params(dim);
  params.weights = weights;
  params.seed = 42;
  MatrixF32 result = fit(graph, params).value();
  const bool same = std::memcmp(result.data.data(), next.data.data(), n * dim * sizeof(float)) == 0;
  std::printf("phased run matches fit: %s\n", same ? "yes" : "NO");
  result = MatrixF32{};
  next = MatrixF32{};

  // ---- whole fits with options, in turns
  auto fit_with = [&](FitParams p, FitOptions options) { return [&graph, p, options] { (void)fit(graph, p, options); }; };
  FitOptions l2;
  l2.normalize = true;
  FitOptions degree;
  degree.degree_exponent = -0.5;
  FitOptions both = l2;
  both.degree_exponent = -0.5;
  FitParams directed = params;
  directed.undirected = false;
  FitOptions in;
  in.direction = Direction::in;
  CsrGraph binary_graph = graph;
  std::vector<Variant> variants = {
      {"default [0, 0, 1, 1]", fit_with(params, {})},
      {"normalization l2", fit_with(params, l2)},
      {"degree_exponent -0.5", fit_with(params, degree)},
      {"l2 + degree -0.5", fit_with(params, both)},
      {"edge_weight binary (+copy)",
       [&] {
         binary_graph.values = graph.values;
         (void)transform_edge_weights(binary_graph, EdgeWeight::binary);
         (void)fit(binary_graph, params);
       }},
      {"directed, out", fit_with(directed, {})},
      {"directed, in", fit_with(directed, in)},
      {"4 blocks of dim / 4",
       [&] {
         for (std::uint64_t b = 0; b < 4; ++b) {
           FitOptions block;
           block.column_start = dim * b / 4;
           block.column_stop = dim * (b + 1) / 4;
           (void)fit(graph, params, block);
         }
       }},
      // The first slot of each round can run slower whatever runs there.
      {"default again", fit_with(params, {})},
  };
  for (int r = 0; r < repeats; ++r) {
    for (auto& v : variants) {
      const double cpu = cpu_seconds();
      v.best = std::min(v.best, timed(v.run));
      v.best_cpu = std::min(v.best_cpu, cpu_seconds() - cpu);
    }
  }
  const double base = std::min(variants.front().best, variants.back().best);
  const double base_cpu = std::min(variants.front().best_cpu, variants.back().best_cpu);
  std::printf("\nwhole fits, best of %d (wall; process CPU time; %% against the faster default):\n", repeats);
  for (const auto& v : variants)
    std::printf("  %-28s %8.3f s  (%+6.1f%%)   cpu %8.3f s  (%+6.1f%%)\n", v.name.c_str(), v.best,
                (v.best / base - 1.0) * 100.0, v.best_cpu, (v.best_cpu / base_cpu - 1.0) * 100.0);
  return same ? 0 : 1;
}
