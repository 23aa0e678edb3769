// Projection fill rate: build_projection_matrix against the plain serial
// definition of the same matrix.
//
//   projection_bench [rows] [cols]   (defaults: 1000000 128)
//
// Each figure is the best of several runs, in matrix entries per second.
// "ours" is the whole call (fresh zeroed storage, every row on the worker
// pool) and is also shown per worker; the baseline is one thread running the
// definition entry by entry (float draw, two float comparisons, a store for
// non-zero entries) into storage that is already mapped, so it pays no page
// faults. "in cache" repeats a small call whose storage stays in cache, which
// leaves the row kernel and the pool. Run with RAYON_NUM_THREADS=1 for
// single-core rates.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "algorithm/projection_matrix.h"
#include "pool/worker_pool.h"
#include "random/row_generator.h"

using namespace graphripple;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <class F>
double best_of(int repeats, F&& run) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) best = std::min(best, run());
  return best;
}

// The definition, written the obvious way.
void plain_fill(float* data, std::uint64_t rows, std::uint64_t cols, std::uint64_t base) {
  for (std::uint64_t i = 0; i < rows; ++i) {
    RowGenerator g = RowGenerator::from_seed(base + i);
    float* row = data + i * cols;
    for (std::uint64_t j = 0; j < cols; ++j) {
      const float r = g.next_f32();
      if (r < PROJECTION_DENSITY) {
        row[j] = PROJECTION_VALUE;
      } else if (r < 2.0f * PROJECTION_DENSITY) {
        row[j] = -PROJECTION_VALUE;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::uint64_t cols = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const double entries = double(rows) * double(cols);
  const std::size_t workers = current_num_threads();
  constexpr int REPEATS = 5;

  double checksum = 0;
  const double ours = best_of(REPEATS, [&] {
    const auto start = Clock::now();
    auto m = build_projection_matrix(rows, cols, 42);
    const double s = seconds_since(start);
    if (!m) {
      std::fprintf(stderr, "%s\n", m.error().display().c_str());
      std::exit(1);
    }
    checksum += m->data[rows * cols / 2];
    return s;
  });

  // A 512 KiB matrix stays in cache and in the allocator's reused blocks,
  // so this rate is the row kernel itself (plus one clearing pass).
  constexpr std::uint64_t SMALL_ROWS = 1024, SMALL_COLS = 128;
  const double small = best_of(200, [&] {
    const auto start = Clock::now();
    auto m = build_projection_matrix(SMALL_ROWS, SMALL_COLS, 7);
    const double s = seconds_since(start);
    checksum += m->data[SMALL_ROWS * SMALL_COLS / 2];
    return s;
  });

  std::vector<float> plain(rows * cols, 0.0f);
  const double baseline = best_of(REPEATS, [&] {
    std::fill(plain.begin(), plain.end(), 0.0f);
    const auto start = Clock::now();
    plain_fill(plain.data(), rows, cols, 42);
    return seconds_since(start);
  });
  checksum += plain[rows * cols / 2];

  std::printf("projection %llu x %llu, %zu workers\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(cols), workers);
  std::printf("  ours      %8.3f s  %7.1f M entries/s  %7.1f M entries/s per worker\n", ours, entries / ours / 1e6,
              entries / ours / 1e6 / double(workers));
  std::printf("  in cache  %8.5f s  %7.1f M entries/s  %7.1f M entries/s per worker  (1024 x 128)\n", small,
              SMALL_ROWS * SMALL_COLS / small / 1e6, SMALL_ROWS * SMALL_COLS / small / 1e6 / double(workers));
  std::printf("  baseline  %8.3f s  %7.1f M entries/s  (plain definition, 1 thread, pre-mapped storage)\n", baseline,
              entries / baseline / 1e6);
  std::printf("  ratio per worker  %.2fx   (checksum %g)\n", baseline / ours / double(workers), checksum);
  return 0;
}
