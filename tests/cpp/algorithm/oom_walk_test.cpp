// Out of memory at every fallible reservation of a whole pipeline: graph
// building (dense, adjacency list, CSR with rows to canonicalise) followed
// by an undirected fit with node features and several weights.
//
// The walk refuses reservation k = 1, 2, ... until the pipeline gets
// through. Each refusal must come back as an out-of-memory EmbeddingError
// with the six-line report, and nothing may leak on the way out (run under
// scripts/sanitize address). The walk must stop exactly after the number of
// reservations that a clean run makes: a refusal that the pipeline swallowed
// would end the walk early.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "algorithm/fit.h"
#include "error/fallible_alloc.h"

namespace graphripple {
namespace {

constexpr std::uint64_t NODES = 40;
constexpr std::uint64_t DIM = 16;
constexpr std::uint64_t FEATURES = 3;
// Node 0's row is longer than the insertion-sort limit, so the sorter
// reserves its second buffer too.
constexpr std::uint64_t LONG_ROW = 27;

// Disarms the seam however the test ends.
struct SeamGuard {
  ~SeamGuard() { detail::fail_reservation_after(0); }
};

FitParams params_with_features() {
  FitParams params(DIM);
  params.weights = {0.5, 1.0, 0.25};
  params.seed = 11;
  params.undirected = true;
  MatrixF64 features;
  features.rows = NODES;
  features.cols = FEATURES;
  features.row_stride = FEATURES;
  features.col_stride = 1;
  for (std::uint64_t i = 0; i < NODES * FEATURES; ++i) features.storage.push_back(double(i % 7) - 3.0);
  params.node_features = std::move(features);
  params.feature_weight = 0.75;
  return params;
}

// Edges i -> (i * 7 + 3) % n and i -> (i + 1) % n, in that (often
// descending) order, plus a long unsorted row with repeats at node 0.
AdjacencyList edge_lists() {
  AdjacencyList lists(NODES);
  for (std::uint64_t i = 0; i < NODES; ++i) {
    lists[i].emplace_back((i * 7 + 3) % NODES, 1.0 + double(i % 3));
    lists[i].emplace_back((i + 1) % NODES, 0.5);
  }
  for (std::uint64_t k = 0; k < LONG_ROW; ++k) lists[0].emplace_back((LONG_ROW - k) * 5 % NODES, 0.25);
  return lists;
}

using Pipeline = std::function<Expected<MatrixF32>()>;

Pipeline dense_pipeline() {
  const AdjacencyList lists = edge_lists();
  std::vector<double> elements(NODES * NODES, 0.0);
  for (std::uint64_t i = 0; i < NODES; ++i)
    for (const auto& [target, weight] : lists[i]) elements[i * NODES + target] += weight;
  return [elements] {
    const MatrixViewF64 view{elements.data(), NODES, NODES, std::int64_t(NODES), 1};
    auto graph = CsrGraph::from_dense(view);
    if (!graph) return Expected<MatrixF32>(std::move(graph).error());
    return fit(*graph, params_with_features());
  };
}

Pipeline adj_list_pipeline() {
  return [] {
    auto graph = CsrGraph::from_adj_list(edge_lists());
    if (!graph) return Expected<MatrixF32>(std::move(graph).error());
    return fit(*graph, params_with_features());
  };
}

Pipeline csr_pipeline() {
  std::vector<std::uint64_t> row_ptrs{0};
  std::vector<std::uint64_t> cols;
  std::vector<double> values;
  for (const AdjacencyRow& row : edge_lists()) {
    for (const auto& [target, weight] : row) {
      cols.push_back(target);
      values.push_back(weight);
    }
    row_ptrs.push_back(cols.size());
  }
  return [row_ptrs, cols, values] {
    auto graph = CsrGraph::from_csr(row_ptrs, cols, values, NODES);
    if (!graph) return Expected<MatrixF32>(std::move(graph).error());
    return fit(*graph, params_with_features());
  };
}

// The report: a headline, the requested size in megabytes, advice, a blank
// line, and the raw record of the refused reservation.
::testing::AssertionResult is_out_of_memory_report(const EmbeddingError& error) {
  if (!error.is_out_of_memory()) return ::testing::AssertionFailure() << "not out of memory: " << error.display();
  std::vector<std::string> lines;
  std::istringstream text(error.display());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  const ReserveError& record = *error.reserve_error();
  // "- Requested Memory: <megabytes with two decimals> MB"
  const std::string size_prefix = "- Requested Memory: ", size_suffix = " MB";
  std::string megabytes;
  if (lines.size() > 1 && lines[1].starts_with(size_prefix) && lines[1].ends_with(size_suffix))
    megabytes = lines[1].substr(size_prefix.size(), lines[1].size() - size_prefix.size() - size_suffix.size());
  const auto point = megabytes.find('.');
  const bool two_decimals = point != std::string::npos && point > 0 && point + 3 == megabytes.size() &&
                            megabytes.find_first_not_of("0123456789.") == std::string::npos;
  const bool shaped =
      lines.size() == 6 && lines[0] == "Out Of Memory (OOM): The system could not allocate enough memory." &&
      two_decimals &&
      lines[2] == "Try reducing the number of nodes or the embedding dimension." && lines[3].empty() &&
      lines[4] == "Raw Error:" && lines[5] == record.raw_text();
  if (!shaped) return ::testing::AssertionFailure() << "report: " << error.display();
  if (record.kind != ReserveError::Kind::AllocError || record.size == 0)
    return ::testing::AssertionFailure() << "refusal record: " << record.raw_text();
  if (std::abs(std::stod(megabytes) - double(record.size) / (1 << 20)) > 0.005)
    return ::testing::AssertionFailure() << "size line does not match " << record.size << " bytes";
  return ::testing::AssertionSuccess();
}

bool same_bits(const MatrixF32& a, const MatrixF32& b) {
  if (a.rows != b.rows || a.cols != b.cols) return false;
  for (std::uint64_t i = 0; i < a.rows * a.cols; ++i)
    if (std::bit_cast<std::uint32_t>(a.data[i]) != std::bit_cast<std::uint32_t>(b.data[i])) return false;
  return true;
}

// Walks k = 1, 2, ... and returns the number of refusals the pipeline
// reported before it got through.
std::uint64_t walk(const Pipeline& pipeline) {
  SeamGuard guard;
  detail::fail_reservation_after(0);
  const std::uint64_t before = detail::reservation_count();
  auto clean = pipeline();
  const std::uint64_t reservations = detail::reservation_count() - before;
  EXPECT_TRUE(clean.has_value()) << clean.error().display();
  if (!clean) return 0;

  for (std::uint64_t k = 1; k <= reservations + 1; ++k) {
    detail::fail_reservation_after(k);
    auto result = pipeline();
    detail::fail_reservation_after(0);
    if (result) {
      EXPECT_EQ(k - 1, reservations) << "a refused reservation did not fail the pipeline";
      EXPECT_TRUE(same_bits(*result, *clean));
      return k - 1;
    }
    EXPECT_TRUE(is_out_of_memory_report(result.error())) << "refusal " << k;
  }
  ADD_FAILURE() << "still failing after every reservation was refused once";
  return 0;
}

TEST(oom_walk, dense_input_then_fit) {
  const std::uint64_t points = walk(dense_pipeline());
  std::printf("dense pipeline: %llu injection points\n", static_cast<unsigned long long>(points));
  EXPECT_GE(points, 10u);
}

TEST(oom_walk, adjacency_list_then_fit) {
  const std::uint64_t points = walk(adj_list_pipeline());
  std::printf("adjacency-list pipeline: %llu injection points\n", static_cast<unsigned long long>(points));
  EXPECT_GE(points, 10u);
}

TEST(oom_walk, unsorted_csr_then_fit) {
  const std::uint64_t points = walk(csr_pipeline());
  std::printf("CSR pipeline: %llu injection points\n", static_cast<unsigned long long>(points));
  EXPECT_GE(points, 10u);
}

}  // namespace
}  // namespace graphripple
