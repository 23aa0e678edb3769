// The symmetrised transition built on the worker pool against the one-thread
// build. Named fit_thread_count.* so ctest runs them with 1, 2 and 8 workers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithm/fit_test_support.h"
#include "algorithm/kernels.h"
#include "csr/symmetrized_rows.h"
#include "pool/worker_pool.h"
#include "support/same_bits.h"

namespace graphripple {
namespace {

using testing::graph_of;
using testing::random_graph;

::testing::AssertionResult same_transition(const TransitionMatrix& a, const TransitionMatrix& b) {
  if (a.num_nodes != b.num_nodes) return ::testing::AssertionFailure() << "node counts differ";
  const std::uint64_t n = a.num_nodes;
  for (std::uint64_t i = 0; i <= n; ++i)
    if (a.row_ptrs[i] != b.row_ptrs[i]) return ::testing::AssertionFailure() << "row_ptrs differ at " << i;
  if (a.narrow_cols != b.narrow_cols || a.owned_wide_cols != b.owned_wide_cols)
    return ::testing::AssertionFailure() << "columns differ";
  if (a.scales.size() != b.scales.size()) return ::testing::AssertionFailure() << "entry counts differ";
  for (std::size_t k = 0; k < a.scales.size(); ++k)
    if (!test::same_bits(a.scales[k], b.scales[k]))
      return ::testing::AssertionFailure() << "scale " << k << ": " << a.scales[k] << " vs " << b.scales[k];
  return ::testing::AssertionSuccess();
}

// A graph whose column 0 is a hub met by most rows, so one row of A^T is
// long, gathered from every piece of the scatter, and sorted the long way.
CsrGraph hub_graph(std::uint64_t n) {
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> row_ptrs{0}, cols;
  std::vector<double> values;
  for (std::uint64_t r = 0; r < n; ++r) {
    if (r % 3 != 0) {
      cols.push_back(0);
      values.push_back(double(rng() % 7) - 2.0);
    }
    for (std::uint64_t c = 1 + rng() % 97; c < n; c += 1 + rng() % (n / 4)) {
      cols.push_back(c);
      values.push_back(double(rng() % 1000) / 100.0);
    }
    row_ptrs.push_back(cols.size());
  }
  return graph_of(n, std::move(row_ptrs), std::move(cols), std::move(values));
}

TEST(fit_thread_count, symmetrized_transition_matches_serial_build) {
  std::mt19937_64 rng(3);
  struct Case {
    const char* name;
    CsrGraph graph;
  };
  std::vector<Case> cases;
  cases.push_back({"no_nodes", graph_of(0, {0}, {}, {})});
  cases.push_back({"one_self_loop", graph_of(1, {0, 1}, {0}, {1.5})});
  cases.push_back({"empty_rows", graph_of(5, {0, 0, 2, 2, 2, 3}, {1, 4, 0}, {1.0, -1.0, 2.0})});
  // row_ptrs need not start at 0.
  cases.push_back({"offset_row_ptrs", graph_of(3, {7, 8, 9, 10}, {1, 2, 0}, {1.0, 2.0, 3.0})});
  cases.push_back({"random_with_nan_inf_zero", random_graph(rng, 20000, 6, true)});
  cases.push_back({"random_large", random_graph(rng, 60000, 9, false)});
  cases.push_back({"hub", hub_graph(30000)});
  for (const Case& c : cases) {
    auto serial_rows = SymmetrizedRows::prepare_serial(c.graph);
    auto pool_rows = SymmetrizedRows::prepare(c.graph);
    ASSERT_TRUE(serial_rows && pool_rows) << c.name;
    const auto serial = detail::symmetrized_transition_serial(serial_rows.value()).value();
    const auto pooled = TransitionMatrix::from_symmetrized(pool_rows.value()).value();
    EXPECT_TRUE(same_transition(serial, pooled)) << c.name << ", workers: " << current_num_threads();
  }
}

// The per-row structure tests run in pieces; the lowest failing row must
// still be the one reported, whichever piece finds a failure first.
TEST(fit_thread_count, symmetrize_reports_lowest_failing_row) {
  std::mt19937_64 rng(8);
  const CsrGraph good = random_graph(rng, 40000, 6, false);
  struct Fault {
    const char* name;
    std::uint64_t unsorted_row, range_row;  // a row past the end: no such fault
  };
  const Fault faults[] = {{"unsorted_first", 21000, 35000}, {"range_first", 30000, 2500}, {"range_only", 40000, 39999}};
  for (const Fault& f : faults) {
    CsrGraph bad = good;
    auto first_long_row = [&](std::uint64_t from) {
      for (std::uint64_t i = from;; ++i)
        if (bad.row_ptrs[i + 1] - bad.row_ptrs[i] >= 2) return i;
    };
    if (f.unsorted_row < bad.num_nodes) {
      const std::uint64_t i = first_long_row(f.unsorted_row);
      std::swap(bad.col_indices[bad.row_ptrs[i]], bad.col_indices[bad.row_ptrs[i] + 1]);
    }
    if (f.range_row < bad.num_nodes) {
      const std::uint64_t i = first_long_row(f.range_row);
      bad.col_indices[bad.row_ptrs[i + 1] - 1] = bad.num_nodes;
    }
    auto serial = SymmetrizedRows::prepare_serial(bad);
    auto pooled = SymmetrizedRows::prepare(bad);
    ASSERT_FALSE(serial) << f.name;
    ASSERT_FALSE(pooled) << f.name;
    EXPECT_EQ(serial.error().message(), pooled.error().message()) << f.name;
    const bool range = f.range_row < f.unsorted_row;
    EXPECT_NE(pooled.error().message().find(range ? "out of range" : "unsorted"), std::string::npos)
        << f.name << ": " << pooled.error().message();
  }
}

}  // namespace
}  // namespace graphripple
