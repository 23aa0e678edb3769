// Worker-pool benchmark: the fixed cost of one row loop and its throughput.
//
// Prints, for the process-wide pool:
//  - the median and 90th-percentile wall time of one parallel_for_rows over a
//    tiny range, back to back (workers awake) and after an idle gap (workers
//    asleep), beside a plain serial loop over the same rows;
//  - rows per second of a compute-bound loop and of a power-law-cost loop
//    (split by row count and by cost), beside the serial loop, with ratios.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "pool/worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double median_us;
  double p90_us;
};

template <class F>
Stats time_calls(int calls, std::chrono::microseconds gap, F&& call) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(calls));
  for (int i = 0; i < calls; ++i) {
    if (gap.count() > 0) std::this_thread::sleep_for(gap);
    const auto start = Clock::now();
    call();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 9 / 10]};
}

template <class F>
double best_seconds(int repeats, F&& run) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// Keeps the optimiser from deleting a body's work.
volatile float sink;

float row_work(std::size_t row, std::size_t steps) {
  float x = static_cast<float>(row & 1023) * 1e-3f;
  for (std::size_t k = 0; k < steps; ++k) x = x * 0.999f + 0.5f;
  return x;
}

}  // namespace

int main() {
  using graphripple::parallel_for_rows;
  std::printf("worker pool: %zu workers\n\n", graphripple::current_num_threads());

  std::printf("one loop over a tiny range (trivial body), microseconds\n");
  std::printf("%-6s %-12s %10s %10s %14s %8s\n", "rows", "workers", "median", "p90", "serial median", "ratio");
  for (std::size_t rows : {std::size_t{2}, std::size_t{64}}) {
    std::vector<float> out(rows);
    auto parallel = [&] { parallel_for_rows(rows, [&](std::size_t r) { out[r] = static_cast<float>(r); }); };
    auto serial = [&] {
      for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<float>(r);
      sink = out[rows - 1];
    };
    time_calls(2000, {}, parallel);  // warm-up: pool creation, page faults
    const Stats base = time_calls(20000, {}, serial);
    const Stats hot = time_calls(20000, {}, parallel);
    const Stats cold = time_calls(300, std::chrono::microseconds(2000), parallel);
    std::printf("%-6zu %-12s %10.2f %10.2f %14.3f %8.0fx\n", rows, "awake", hot.median_us, hot.p90_us, base.median_us,
                hot.median_us / std::max(base.median_us, 1e-3));
    std::printf("%-6zu %-12s %10.2f %10.2f %14.3f %8.0fx\n", rows, "asleep", cold.median_us, cold.p90_us,
                base.median_us, cold.median_us / std::max(base.median_us, 1e-3));
  }

  std::printf("\nthroughput, million rows per second (best of 5)\n");
  std::printf("%-34s %10s %10s %8s\n", "loop", "pool", "serial", "speedup");
  {
    constexpr std::size_t ROWS = 1 << 20, STEPS = 64;
    std::vector<float> out(ROWS);
    const double par = best_seconds(5, [&] { parallel_for_rows(ROWS, [&](std::size_t r) { out[r] = row_work(r, STEPS); }); });
    const double ser = best_seconds(5, [&] {
      for (std::size_t r = 0; r < ROWS; ++r) out[r] = row_work(r, STEPS);
    });
    std::printf("%-34s %10.1f %10.1f %7.2fx\n", "uniform rows (64 steps each)", ROWS / par * 1e-6, ROWS / ser * 1e-6,
                ser / par);
  }
  {
    // Row i costs about 20000 / (i + 1) + 4 steps: a few hubs dominate.
    constexpr std::size_t ROWS = 1 << 18;
    std::vector<std::uint64_t> prefix(ROWS + 1, 0);
    for (std::size_t i = 0; i < ROWS; ++i) prefix[i + 1] = prefix[i] + 200000 / (i + 1) + 4;
    std::vector<float> out(ROWS);
    auto body = [&](std::size_t r) { out[r] = row_work(r, prefix[r + 1] - prefix[r]); };
    const double by_rows = best_seconds(5, [&] { parallel_for_rows(ROWS, body); });
    const double by_cost =
        best_seconds(5, [&] { graphripple::parallel_for_rows_weighted(ROWS, prefix.data(), body); });
    const double ser = best_seconds(5, [&] {
      for (std::size_t r = 0; r < ROWS; ++r) body(r);
    });
    std::printf("%-34s %10.1f %10.1f %7.2fx\n", "power-law rows, split by count", ROWS / by_rows * 1e-6,
                ROWS / ser * 1e-6, ser / by_rows);
    std::printf("%-34s %10.1f %10.1f %7.2fx\n", "power-law rows, split by cost", ROWS / by_cost * 1e-6,
                ROWS / ser * 1e-6, ser / by_cost);
  }
  return 0;
}
