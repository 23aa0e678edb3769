// Stopping a fit through the calling thread's FitMonitor, and its progress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <random>
#include <vector>

#include "algorithm/fit.h"
#include "algorithm/fit_test_support.h"
#include "pool/fit_monitor.h"
#include "pool/worker_pool.h"

namespace graphripple {
namespace {

using testing::random_graph;

// Asks to stop after `polls` polls (never when negative); records progress.
class CountingMonitor final : public FitMonitor {
 public:
  explicit CountingMonitor(int stop_after_polls, std::uint64_t stop_at_step = 0)
      : stop_after_polls_(stop_after_polls), stop_at_step_(stop_at_step) {}
  bool poll() noexcept override {
    ++polls;
    return stop_after_polls_ >= 0 && polls > stop_after_polls_;
  }
  bool progress(std::uint64_t done, std::uint64_t total) noexcept override {
    steps.push_back({done, total});
    return stop_at_step_ != 0 && done >= stop_at_step_;
  }
  int polls = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> steps;

 private:
  int stop_after_polls_;
  std::uint64_t stop_at_step_;
};

bool same_bytes(const MatrixF32& a, const MatrixF32& b) {
  return a.rows == b.rows && a.cols == b.cols &&
         std::memcmp(a.data.data(), b.data.data(), a.rows * a.cols * sizeof(float)) == 0;
}

struct Fixture {
  std::mt19937_64 rng{11};
  CsrGraph graph = random_graph(rng, 3000, 8, false);
  FitParams params{24};
  Fixture() {
    params.weights = {0.5, 1.0, 1.0, 0.25, 1.0};
    params.seed = 9;
    params.undirected = false;
  }
};

TEST(fit_monitor, a_watched_fit_keeps_its_bytes_and_reports_every_step) {
  Fixture f;
  const MatrixF32 expected = std::move(fit(f.graph, f.params).value());
  CountingMonitor monitor(-1);
  MonitorScope scope(&monitor);
  auto watched = fit(f.graph, f.params, FitOptions{});
  ASSERT_TRUE(watched);
  EXPECT_TRUE(same_bytes(watched.value(), expected));
  ASSERT_EQ(monitor.steps.size(), 5u);  // X0 and four propagations
  for (std::size_t i = 0; i < monitor.steps.size(); ++i) EXPECT_EQ(monitor.steps[i], std::make_pair(i + 1, 5ul));
}

TEST(fit_monitor, blocked_both_direction_progress_ends_at_its_total) {
  Fixture f;
  FitOptions options;
  options.direction = Direction::both;
  std::vector<float> out(f.graph.num_nodes * 48);
  const StridedOutput strided{reinterpret_cast<char*>(out.data()), f.graph.num_nodes, 48, 48 * sizeof(float),
                              sizeof(float)};
  CountingMonitor monitor(-1);
  MonitorScope scope(&monitor);
  ASSERT_TRUE(fit_into(f.graph, f.params, options, 10, strided));
  // Two directions of three blocks each, every block five steps and a write.
  ASSERT_EQ(monitor.steps.size(), 36u);
  EXPECT_EQ(monitor.steps.back(), std::make_pair(36ul, 36ul));
}

TEST(fit_monitor, a_stop_unwinds_and_the_pool_fits_on) {
  Fixture f;
  const MatrixF32 expected = std::move(fit(f.graph, f.params).value());
  for (std::uint64_t stop_at : {1u, 2u, 4u}) {
    CountingMonitor monitor(-1, stop_at);
    {
      MonitorScope scope(&monitor);
      EXPECT_THROW((void)fit(f.graph, f.params, FitOptions{}), FitCancelled);
    }
    EXPECT_EQ(monitor.steps.size(), stop_at);
    EXPECT_TRUE(same_bytes(fit(f.graph, f.params).value(), expected));
  }
}

TEST(fit_monitor, a_poll_during_a_pool_wait_stops_the_loop_early) {
  // A loop far longer than one poll interval: the waiting thread's first
  // poll asks to stop, the workers skip the chunks they have not started.
  std::atomic<std::uint64_t> rows_run{0};
  const std::size_t n = 1 << 16;
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      rows_run.fetch_add(1, std::memory_order_relaxed);
    }
  };
  CountingMonitor monitor(0);
  {
    MonitorScope scope(&monitor);
    EXPECT_THROW(parallel_for_ranges(n, RangeBody(body)), FitCancelled);
  }
  EXPECT_GE(monitor.polls, 1);
  EXPECT_LT(rows_run.load(), n / 4);
  // Without a monitor the same loop runs every row.
  rows_run = 0;
  auto quick = [&](std::size_t lo, std::size_t hi) { rows_run.fetch_add(hi - lo, std::memory_order_relaxed); };
  parallel_for_ranges(n, RangeBody(quick));
  EXPECT_EQ(rows_run.load(), n);
}

}  // namespace
}  // namespace graphripple
