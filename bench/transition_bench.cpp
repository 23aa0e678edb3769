// The symmetrised transition of an undirected fit, built on one thread and
// on the worker pool, in turns so that a busy machine slows both alike.
//
//   transition_bench [nodes] [edges_per_node] [rounds]   (defaults: 1000000 5 7)
//
// Prints the median of each stage (the transpose with its checks, then the
// merged rows with their scales) and checks that both builds give the same
// bytes. The worker count is RAYON_NUM_THREADS (default: every core).
#include <time.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "algorithm/kernels.h"
#include "csr/symmetrized_rows.h"
#include "pool/worker_pool.h"
#include "power_law_graph.h"

using namespace graphripple;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of the whole process (all workers): on a busy machine it shows
// the work done where wall time mostly shows the wait for a core.
double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool same_bytes(const TransitionMatrix& a, const TransitionMatrix& b) {
  if (a.scales.size() != b.scales.size() || a.narrow_cols != b.narrow_cols) return false;
  for (std::uint64_t i = 0; i <= a.num_nodes; ++i)
    if (a.row_ptrs[i] != b.row_ptrs[i]) return false;
  for (std::size_t k = 0; k < a.scales.size(); ++k)
    if (std::bit_cast<std::uint32_t>(a.scales[k]) != std::bit_cast<std::uint32_t>(b.scales[k])) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::uint64_t m = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  const CsrGraph graph = bench::power_law_graph(n, m, 1);
  std::printf("power-law graph: %llu nodes, %llu stored entries; %zu workers\n", (unsigned long long)n,
              (unsigned long long)graph.nnz(), current_num_threads());

  std::vector<double> serial_t, serial_s, pool_t, pool_s, cpu_serial, cpu_pool;
  bool same = true;
  for (int r = 0; r < rounds; ++r) {
    double cpu = cpu_now();
    auto start = Clock::now();
    auto serial_rows = SymmetrizedRows::prepare_serial(graph).value();
    serial_t.push_back(seconds_since(start));
    start = Clock::now();
    const auto serial = detail::symmetrized_transition_serial(serial_rows).value();
    serial_s.push_back(seconds_since(start));
    cpu_serial.push_back(cpu_now() - cpu);
    cpu = cpu_now();

    start = Clock::now();
    auto pool_rows = SymmetrizedRows::prepare(graph).value();
    pool_t.push_back(seconds_since(start));
    start = Clock::now();
    const auto pooled = TransitionMatrix::from_symmetrized(pool_rows).value();
    pool_s.push_back(seconds_since(start));
    cpu_pool.push_back(cpu_now() - cpu);
    same = same && same_bytes(serial, pooled);
  }
  std::printf("%-34s %10s %10s\n", "median of rounds", "one core", "pool");
  std::printf("%-34s %8.1f ms %7.1f ms\n", "checks + transpose", median(serial_t) * 1e3, median(pool_t) * 1e3);
  std::printf("%-34s %8.1f ms %7.1f ms\n", "merged rows + edge scales", median(serial_s) * 1e3, median(pool_s) * 1e3);
  std::printf("%-34s %8.1f ms %7.1f ms\n", "CPU time of both stages", median(cpu_serial) * 1e3,
              median(cpu_pool) * 1e3);
  std::printf("same bytes: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}
