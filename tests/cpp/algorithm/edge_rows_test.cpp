// Edges grouped by source row on the worker pool against the one-thread
// counting sort. Named fit_thread_count.* so ctest runs them with 1, 2 and
// 8 workers.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "csr/edge_rows.h"

namespace graphripple {
namespace {

struct Grouped {
  std::vector<std::int64_t> row_ptrs, columns;
  std::vector<double> values;
  std::optional<std::uint64_t> bad;
  EdgeRowsOutput out() { return {row_ptrs, columns, values}; }
};

Grouped sized(std::uint64_t n, std::uint64_t m) {
  return Grouped{std::vector<std::int64_t>(n + 1, -1), std::vector<std::int64_t>(m, -1), std::vector<double>(m, -1.0),
                 std::nullopt};
}

TEST(fit_thread_count, edges_grouped_on_the_pool_match_the_serial_sort) {
  std::mt19937_64 rng(5);
  struct Case {
    std::uint64_t n, m;
    bool weighted;
    std::int64_t bad_id;  // written at edge m * 3 / 4 (and m - 1) when not 0
  };
  // Few rows (many pieces, long rows), many rows (one piece per worker),
  // no weights, ids outside [0, n) late in the list, and empty lists.
  for (const Case& c : {Case{7, 200000, true, 0}, Case{50000, 300000, true, 0}, Case{1000, 100000, false, 0},
                        Case{1000, 100000, true, 1000}, Case{1000, 100000, true, -3}, Case{0, 0, true, 0},
                        Case{5, 0, false, 0}}) {
    std::vector<std::int64_t> sources(c.m), targets(c.m);
    std::vector<double> weights(c.weighted ? c.m : 0);
    for (std::uint64_t k = 0; k < c.m; ++k) {
      // Half the edges in a few rows, so repeated (source, target) pairs and
      // long rows gathered from every piece both occur.
      sources[k] = std::int64_t(rng() % 2 ? rng() % 3 % c.n : rng() % c.n);
      targets[k] = std::int64_t(rng() % c.n);
      if (c.weighted) weights[k] = double(k);  // the value tells the edge's place in the list
    }
    if (c.bad_id != 0) {
      targets[c.m * 3 / 4] = c.bad_id;
      sources[c.m - 1] = c.bad_id;
    }
    Grouped serial = sized(c.n, c.m), pooled = sized(c.n, c.m);
    serial.bad = detail::group_edges_by_row_serial(sources, targets, weights, c.n, serial.out());
    auto result = group_edges_by_row(sources, targets, weights, c.n, pooled.out());
    ASSERT_TRUE(result.has_value());
    pooled.bad = result.value();
    if (c.bad_id != 0) {
      EXPECT_EQ(serial.bad, std::optional<std::uint64_t>(c.m * 3 / 4));
      EXPECT_EQ(pooled.bad, serial.bad);
      continue;
    }
    ASSERT_FALSE(serial.bad.has_value());
    EXPECT_EQ(pooled.bad, serial.bad);
    EXPECT_EQ(pooled.row_ptrs, serial.row_ptrs);
    EXPECT_EQ(pooled.columns, serial.columns);
    EXPECT_EQ(pooled.values, serial.values);
    // The serial sort is stable: each row's values (list places) ascend.
    std::vector<std::int64_t> counts(c.n, 0);
    for (std::int64_t source : sources) ++counts[std::uint64_t(source)];
    for (std::uint64_t r = 0; r < c.n; ++r) {
      EXPECT_EQ(serial.row_ptrs[r + 1] - serial.row_ptrs[r], counts[r]);
      if (!c.weighted) continue;
      for (auto k = serial.row_ptrs[r] + 1; k < serial.row_ptrs[r + 1]; ++k) {
        EXPECT_LT(serial.values[std::uint64_t(k - 1)], serial.values[std::uint64_t(k)]);
      }
    }
  }
}

}  // namespace
}  // namespace graphripple
