// The pool's loops and join: every index exactly once for any pool size and
// range, several callers at once, nested loops, faults carried to the caller,
// creation once and failure remembered.
#include "pool/worker_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "error/internal_fault.h"
#include "pool/thread_count.h"

namespace graphripple {
namespace {

constexpr std::size_t SIZES[] = {0, 1, 2, 3, 7, 99, 100003};

enum class Loop { RANGES, ROWS, WEIGHTED };

// Row costs with a heavy head, as in a power-law graph: row i has
// 4096 / (i + 1) entries.
std::vector<std::uint64_t> power_law_prefix(std::size_t n) {
  std::vector<std::uint64_t> prefix(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + 4096 / (i + 1);
  return prefix;
}

// Runs one loop of the given kind over [0, n) and checks that every index
// ran exactly once and every piece lay inside the range.
void expect_each_index_once(WorkerPool& pool, Loop loop, std::size_t n) {
  std::vector<std::atomic<std::uint32_t>> hits(n);
  std::atomic<bool> bad_piece{false};
  auto ranges = [&](std::size_t lo, std::size_t hi) {
    if (lo >= hi || hi > n) bad_piece = true;
    for (std::size_t i = lo; i < hi && i < n; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  };
  const std::vector<std::uint64_t> prefix = power_law_prefix(n);
  switch (loop) {
    case Loop::RANGES:
      pool.parallel_for_ranges(n, RangeBody(ranges));
      break;
    case Loop::ROWS: {
      auto rows = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t row = lo; row < hi; ++row) ranges(row, row + 1);
      };
      pool.parallel_for_ranges(n, RangeBody(rows));
      break;
    }
    case Loop::WEIGHTED:
      pool.parallel_for_ranges_weighted(n, prefix.data(), RangeBody(ranges));
      break;
  }
  EXPECT_FALSE(bad_piece.load());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1u) << "index " << i << " of " << n;
}

class PoolSweep : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSweep, every_loop_runs_each_index_once) {
  WorkerPool pool(GetParam());
  EXPECT_EQ(pool.num_threads(), GetParam());
  for (Loop loop : {Loop::RANGES, Loop::ROWS, Loop::WEIGHTED}) {
    for (std::size_t n : SIZES) expect_each_index_once(pool, loop, n);
  }
}

TEST_P(PoolSweep, several_callers_share_the_pool) {
  WorkerPool pool(GetParam());
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&pool, c] {
      for (int round = 0; round < 40; ++round) {
        const std::size_t n = std::min<std::size_t>(SIZES[(round + c) % std::size(SIZES)], 5000);
        expect_each_index_once(pool, round % 2 ? Loop::RANGES : Loop::WEIGHTED, n);
      }
    });
  }
  for (auto& caller : callers) caller.join();
}

TEST_P(PoolSweep, nested_loops_run_in_place_on_the_worker) {
  // With one worker a nested loop that waited for the pool would never finish.
  WorkerPool pool(GetParam());
  constexpr std::size_t OUTER = 20, INNER = 57;
  std::vector<std::atomic<std::uint32_t>> hits(OUTER * INNER);
  auto outer = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      auto inner = [&](std::size_t ilo, std::size_t ihi) {
        for (std::size_t j = ilo; j < ihi; ++j) hits[i * INNER + j].fetch_add(1);
      };
      pool.parallel_for_ranges(INNER, RangeBody(inner));
    }
  };
  pool.parallel_for_ranges(OUTER, RangeBody(outer));
  for (auto& h : hits) ASSERT_EQ(h.load(), 1u);
}

TEST_P(PoolSweep, body_fault_reaches_caller_and_pool_stays_usable) {
  WorkerPool pool(GetParam());
  struct Case {
    std::size_t n;
    std::size_t throw_from;  // rows >= throw_from throw
  };
  for (const Case c : {Case{2, 1}, Case{1000, 37}, Case{1000, 999}, Case{1000, 0}}) {
    std::atomic<std::size_t> finished{0}, entered{0};
    std::atomic<int> in_flight{0};
    auto body = [&](std::size_t lo, std::size_t hi) {
      entered.fetch_add(1);
      in_flight.fetch_add(1);
      struct Leave {
        std::atomic<int>& count;
        ~Leave() { count.fetch_sub(1); }
      } leave{in_flight};
      for (std::size_t i = lo; i < hi; ++i) {
        if (i >= c.throw_from) throw InternalFault("row " + std::to_string(i));
        finished.fetch_add(1);
      }
    };
    try {
      pool.parallel_for_ranges(c.n, RangeBody(body));
      ADD_FAILURE() << "no fault for n=" << c.n;
    } catch (const InternalFault& fault) {
      // The fault of whichever throwing row ran first in its piece.
      EXPECT_EQ(std::string(fault.what()).rfind("row ", 0), 0u);
    }
    // Every piece had finished before the fault was re-thrown: none is
    // running, and none starts later (another loop on the same workers runs
    // to its end without one of them turning up).
    EXPECT_EQ(in_flight.load(), 0);
    const std::size_t pieces = entered.load();
    const std::size_t seen = finished.load();
    EXPECT_LE(seen, c.throw_from);
    expect_each_index_once(pool, Loop::RANGES, 1000);
    EXPECT_EQ(entered.load(), pieces);
    EXPECT_EQ(finished.load(), seen);
  }
}

INSTANTIATE_TEST_SUITE_P(pool_sizes, PoolSweep, ::testing::Values(1, 2, 3, 5));

TEST(worker_pool, short_loops_run_on_caller_longer_ones_only_on_workers) {
  WorkerPool pool(2);
  for (std::size_t n : SIZES) {
    std::atomic<std::size_t> on_caller{0}, bodies{0};
    const auto caller = std::this_thread::get_id();
    auto body = [&](std::size_t lo, std::size_t hi) {
      bodies.fetch_add(hi - lo);
      if (std::this_thread::get_id() == caller) on_caller.fetch_add(hi - lo);
    };
    pool.parallel_for_ranges(n, RangeBody(body));
    EXPECT_EQ(bodies.load(), n);
    EXPECT_EQ(on_caller.load(), n <= 1 ? n : 0) << "n=" << n;
  }
}

// The pieces of one loop, in the order they ran.
using Pieces = std::vector<std::pair<std::size_t, std::size_t>>;

// Pieces of a loop over [0, n) that tile it in order with no gaps.
bool tile_in_order(Pieces pieces, std::size_t n) {
  std::sort(pieces.begin(), pieces.end());
  std::size_t next = 0;
  for (const auto& [lo, hi] : pieces) {
    if (lo != next || hi <= lo) return false;
    next = hi;
  }
  return next == n;
}

TEST(worker_pool, unstolen_loop_is_split_a_little_and_weighted_pieces_follow_cost) {
  // One worker: nothing is ever stolen, so the split budget alone decides.
  // A loop is cut into a few pieces (so other workers could take some), not
  // into rows (each piece costs a join).
  WorkerPool pool(1);
  constexpr std::size_t N = 100;
  Pieces by_rows;
  auto record_rows = [&](std::size_t lo, std::size_t hi) { by_rows.emplace_back(lo, hi); };
  pool.parallel_for_ranges(N, RangeBody(record_rows));
  EXPECT_TRUE(tile_in_order(by_rows, N));
  EXPECT_GE(by_rows.size(), 2u);
  EXPECT_LE(by_rows.size(), N / 4);

  // Row 0 is a hub costing about as much as all others together. Split by
  // cost, the piece holding it is smaller than split by rows, and no piece
  // costs more than the costliest piece split by rows.
  std::vector<std::uint64_t> star{0, 1000};
  for (std::size_t i = 1; i < N; ++i) star.push_back(star.back() + 1);
  Pieces by_cost;
  auto record_cost = [&](std::size_t lo, std::size_t hi) { by_cost.emplace_back(lo, hi); };
  pool.parallel_for_ranges_weighted(N, star.data(), RangeBody(record_cost));
  EXPECT_TRUE(tile_in_order(by_cost, N));
  const auto hub_piece = [](const Pieces& pieces) {
    return *std::find_if(pieces.begin(), pieces.end(), [](const auto& p) { return p.first == 0; });
  };
  EXPECT_LT(hub_piece(by_cost).second, hub_piece(by_rows).second);
  const auto max_cost = [&star](const Pieces& pieces) {
    std::uint64_t most = 0;
    for (const auto& [lo, hi] : pieces) most = std::max(most, star[hi] - star[lo] + (hi - lo));
    return most;
  };
  EXPECT_LE(max_cost(by_cost), max_cost(by_rows));
}

TEST(split_budget, halves_at_home_and_renews_when_moved) {
  struct Case {
    std::size_t budget, num_threads, len;
    bool migrated, splits;
    std::size_t budget_after;
  };
  const Case cases[] = {
      {4, 4, 100, false, true, 2}, {1, 4, 100, false, true, 0}, {0, 4, 100, false, false, 0},
      {0, 4, 100, true, true, 4},  {16, 4, 100, true, true, 8}, {4, 4, 1, true, false, 4},
      {4, 4, 2, false, true, 2},
  };
  for (const Case& c : cases) {
    detail::SplitBudget s{c.budget, c.num_threads};
    EXPECT_EQ(s.try_split(c.len, c.migrated), c.splits) << c.budget << " " << c.len << " " << c.migrated;
    EXPECT_EQ(s.budget, c.budget_after);
  }
}

TEST(split_budget, weighted_split_halves_cost_and_stays_inside) {
  const std::vector<std::uint64_t> uniform{0, 2, 4, 6, 8, 10, 12, 14, 16};
  EXPECT_EQ(detail::weighted_split_point(uniform.data(), 0, 8), 4u);
  EXPECT_EQ(detail::weighted_split_point(uniform.data(), 3, 5), 4u);
  const std::vector<std::uint64_t> heavy_tail{0, 1, 2, 3, 4, 5, 6, 7, 1000};
  EXPECT_EQ(detail::weighted_split_point(heavy_tail.data(), 0, 8), 7u);
  const std::vector<std::uint64_t> empty_rows(9, 0);  // the +1 per row still spreads them
  EXPECT_EQ(detail::weighted_split_point(empty_rows.data(), 0, 8), 4u);
  const std::vector<std::uint64_t> garbage{50, 3, 900, 1, 0, 70, 2, 2, 5};
  for (std::size_t lo = 0; lo < 8; ++lo) {
    for (std::size_t hi = lo + 2; hi <= 8; ++hi) {
      const std::size_t m = detail::weighted_split_point(garbage.data(), lo, hi);
      EXPECT_TRUE(lo < m && m < hi) << lo << " " << hi << " -> " << m;
    }
  }
}

// Counts the leaves of a binary join tree of the given depth.
void join_tree(int depth, std::atomic<int>& leaves) {
  if (depth == 0) {
    leaves.fetch_add(1);
    return;
  }
  join([&] { join_tree(depth - 1, leaves); }, [&] { join_tree(depth - 1, leaves); });
}

TEST(join, runs_both_tasks_from_outside_and_inside_the_pool) {
  std::atomic<int> leaves{0};
  join_tree(12, leaves);
  EXPECT_EQ(leaves.load(), 1 << 12);

  // Several outside threads at once, each with its own tree.
  std::vector<std::thread> callers;
  std::atomic<int> shared_leaves{0};
  for (int c = 0; c < 3; ++c) callers.emplace_back([&] { join_tree(10, shared_leaves); });
  for (auto& t : callers) t.join();
  EXPECT_EQ(shared_leaves.load(), 3 << 10);
}

TEST(join, rethrows_after_both_finish_first_task_winning) {
  // b cannot finish before a has returned or is unwinding its throw, so a
  // join that re-threw a's exception without waiting for b would find b
  // unfinished.
  struct Case {
    bool a_throws, b_throws;
    const char* expected;
  };
  for (const Case c : {Case{true, false, "a"}, Case{false, true, "b"}, Case{true, true, "a"}}) {
    std::atomic<bool> a_left{false}, b_done{false};
    auto a = [&] {
      struct Leave {
        std::atomic<bool>& left;
        ~Leave() { left = true; }
      } leave{a_left};
      if (c.a_throws) throw std::runtime_error("a");
    };
    auto b = [&] {
      while (!a_left.load()) std::this_thread::yield();
      b_done = true;
      if (c.b_throws) throw std::runtime_error("b");
    };
    try {
      join(a, b);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.expected);
    }
    EXPECT_TRUE(a_left && b_done);
  }
}

// Fails the third thread start, as pthread_create does when the process is
// out of threads.
std::atomic<int> starts_seen{0};
std::error_code third_start_fails(detail::OsThread& thread, detail::OsThread::Entry entry, void* arg) {
  if (starts_seen.fetch_add(1) == 2) return std::error_code(EAGAIN, std::generic_category());
  return detail::OsThread::start(thread, entry, arg);
}

TEST(worker_pool, failed_worker_start_is_an_internal_fault) {
  starts_seen = 0;
  try {
    WorkerPool pool(4, &third_start_fails);
    ADD_FAILURE() << "pool started";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(std::string(fault.what()),
              "The global thread pool has not been initialized.: " +
                  std::error_code(EAGAIN, std::generic_category()).message() + " (os error " +
                  std::to_string(EAGAIN) + ")");
  }
  EXPECT_EQ(starts_seen.load(), 3);  // and the two started workers were joined
}

std::atomic<int> factory_calls{0};

TEST(pool_holder, creates_once_under_a_race) {
  factory_calls = 0;
  detail::PoolHolder holder([] {
    factory_calls.fetch_add(1);
    return std::make_unique<WorkerPool>(2);
  });
  std::vector<WorkerPool*> seen(8);
  std::vector<std::thread> racers;
  for (std::size_t t = 0; t < seen.size(); ++t) racers.emplace_back([&, t] { seen[t] = &holder.get(); });
  for (auto& r : racers) r.join();
  EXPECT_EQ(factory_calls.load(), 1);
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [&](WorkerPool* p) { return p == seen[0]; }));
  // Abandoning (as a forked child would) builds a fresh pool on next use;
  // the old one is deliberately leaked, so stop it by hand here.
  std::unique_ptr<WorkerPool> old(seen[0]);
  holder.abandon();
  EXPECT_NE(&holder.get(), nullptr);
  EXPECT_EQ(factory_calls.load(), 2);
  delete &holder.get();
}

TEST(pool_holder, remembers_a_failed_creation_without_retrying) {
  struct Case {
    detail::PoolHolder::Factory factory;
    std::string expected;
  };
  const Case cases[] = {
      {[]() -> std::unique_ptr<WorkerPool> {
         factory_calls.fetch_add(1);
         throw InternalFault("The global thread pool has not been initialized.: out of threads");
       },
       "The global thread pool has not been initialized.: out of threads"},
      {[]() -> std::unique_ptr<WorkerPool> {
         factory_calls.fetch_add(1);
         throw std::bad_alloc();
       },
       "The global thread pool has not been initialized.: std::bad_alloc"},
  };
  for (const Case& c : cases) {
    factory_calls = 0;
    detail::PoolHolder holder(c.factory);
    for (int use = 0; use < 3; ++use) {
      try {
        holder.get();
        ADD_FAILURE() << "pool created";
      } catch (const InternalFault& fault) {
        EXPECT_EQ(std::string(fault.what()), c.expected);
      }
    }
    EXPECT_EQ(factory_calls.load(), 1);
  }
}

TEST(global_pool, is_sized_from_the_environment_and_runs_rows) {
  EXPECT_EQ(current_num_threads(), num_threads_from_environment());
  EXPECT_EQ(&global_pool(), &global_pool());
  for (std::size_t n : SIZES) {
    std::vector<std::atomic<std::uint32_t>> hits(n);
    parallel_for_rows(n, [&](std::size_t row) { hits[row].fetch_add(1); });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1u);
    const std::vector<std::uint64_t> prefix = power_law_prefix(n);
    parallel_for_rows_weighted(n, prefix.data(), [&](std::size_t row) { hits[row].fetch_add(1); });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 2u);
  }
}

}  // namespace
}  // namespace graphripple
