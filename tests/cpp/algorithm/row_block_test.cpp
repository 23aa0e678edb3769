// Row blocks against the whole-graph fit: the edges are split by row range,
// each block builds its graph, transition and starting rows, and the
// propagations read the rows a block gathers from the others. Every
// assembled result must have the whole fit's bits, for any number of blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <tuple>

#include "algorithm/edge_weights.h"
#include "algorithm/fit.h"
#include "algorithm/kernels.h"
#include "algorithm/row_block.h"

namespace graphripple {
namespace {

struct EdgeList {
  std::uint64_t n = 0;
  std::vector<std::uint64_t> src, dst;
  std::vector<double> w;
};

// Random edges in no particular order, with repeats, self-loops, zero
// weights and a pair that cancels, plus a hub.
EdgeList random_edges(std::uint64_t n, std::uint64_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  EdgeList e;
  e.n = n;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t s = rng() % n;
    const std::uint64_t t = rng() % 5 == 0 ? 0 : rng() % n;
    double w = double(rng() % 7) * 0.37 + 0.1;
    if (rng() % 23 == 0) w = 0.0;
    e.src.push_back(s);
    e.dst.push_back(t);
    e.w.push_back(w);
    if (rng() % 11 == 0) {  // a repeat, summed in input order
      e.src.push_back(s);
      e.dst.push_back(t);
      e.w.push_back(1.0 / 3.0);
    }
  }
  e.src.push_back(1);
  e.dst.push_back(2);
  e.w.push_back(2.5);
  e.src.push_back(2);
  e.dst.push_back(1);
  e.w.push_back(-2.5);
  return e;
}

// The whole graph as the Python layer builds it: rows grouped stably by
// source, so a row keeps the input order of its edges.
CsrGraph whole_graph(const EdgeList& e) {
  std::vector<std::uint64_t> order(e.src.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return e.src[a] < e.src[b]; });
  std::vector<std::uint64_t> row_ptrs(e.n + 1, 0), cols;
  std::vector<double> values;
  for (auto k : order) {
    ++row_ptrs[e.src[k] + 1];
    cols.push_back(e.dst[k]);
    values.push_back(e.w[k]);
  }
  for (std::uint64_t i = 0; i < e.n; ++i) row_ptrs[i + 1] += row_ptrs[i];
  return CsrGraph::from_csr(row_ptrs, cols, values, e.n).value();
}

struct Block {
  std::uint64_t first_row = 0, rows = 0;
  std::vector<std::uint64_t> ids;  // gathered node ids, ascending
  std::uint64_t own_at = 0;        // gathered index of first_row
  RowBlockTransition transition;
  MatrixF32 current, acc;
  bool has_acc = false;
};

struct Case {
  bool undirected;
  Direction direction;
  bool normalize;
  double degree_exponent;
  EdgeWeight edge_weight;
  bool features;
  std::vector<double> weights;
};

Block make_block(const EdgeList& e, std::uint64_t a, std::uint64_t b, const Case& c) {
  Block block;
  block.first_row = a;
  block.rows = b - a;
  std::vector<std::uint64_t> picked;
  for (std::uint64_t k = 0; k < e.src.size(); ++k) {
    const bool out = e.src[k] >= a && e.src[k] < b;
    const bool in = e.dst[k] >= a && e.dst[k] < b;
    if (c.undirected ? (out || in) : c.direction == Direction::in ? in : out) picked.push_back(k);
  }
  for (std::uint64_t i = a; i < b; ++i) block.ids.push_back(i);
  for (auto k : picked) {
    block.ids.push_back(e.src[k]);
    block.ids.push_back(e.dst[k]);
  }
  std::sort(block.ids.begin(), block.ids.end());
  block.ids.erase(std::unique(block.ids.begin(), block.ids.end()), block.ids.end());
  auto local = [&](std::uint64_t id) {
    return std::uint64_t(std::lower_bound(block.ids.begin(), block.ids.end(), id) - block.ids.begin());
  };
  std::vector<std::uint64_t> s, t;
  std::vector<double> w;
  for (auto k : picked) {
    s.push_back(local(e.src[k]));
    t.push_back(local(e.dst[k]));
    w.push_back(e.w[k]);
  }
  CsrGraph graph = row_block_graph(block.ids.size(), s, t, w).value();
  EXPECT_FALSE(transform_edge_weights(graph, c.edge_weight, block.ids.data()));
  block.own_at = local(a);
  block.transition = row_block_transition(graph, block.own_at, block.rows, c.undirected, c.direction).value();
  return block;
}

Expected<MatrixF32> fit_in_blocks(const EdgeList& e, std::uint64_t parts, std::uint64_t dim, const Case& c,
                                  const MatrixF64* features) {
  const std::uint64_t seed = 77;
  std::vector<Block> blocks;
  for (std::uint64_t p = 0; p < parts; ++p)
    blocks.push_back(make_block(e, e.n * p / parts, e.n * (p + 1) / parts, c));
  for (Block& b : blocks) {
    std::optional<MatrixViewF64> rows;
    if (features) {
      rows = features->view();
      rows->origin += std::int64_t(b.first_row) * rows->row_stride;
      rows->rows = b.rows;
    }
    auto x0 = row_block_start(b.first_row, b.rows, dim, seed, rows ? &*rows : nullptr, 0.75,
                              b.transition.row_ptrs.data(), c.degree_exponent);
    if (!x0) return std::move(x0).error();
    b.current = std::move(x0).value();
    b.acc = MatrixF32::try_zeroed(b.rows, dim).value();
  }
  for (std::size_t i = 0; i < c.weights.size(); ++i) {
    const float w = static_cast<float>(c.weights[i]);
    if (i > 0) {
      // Every block gathers its rows of X(i-1) from the blocks that own them.
      std::vector<MatrixF32> gathered;
      for (Block& b : blocks) {
        MatrixF32 g = MatrixF32::try_zeroed(b.ids.size(), dim).value();
        for (std::uint64_t r = 0; r < b.ids.size(); ++r) {
          const std::uint64_t id = b.ids[r];
          const Block& owner = *std::find_if(blocks.begin(), blocks.end(), [&](const Block& o) {
            return id >= o.first_row && id < o.first_row + o.rows;
          });
          std::memcpy(g.row(r), owner.current.row(id - owner.first_row), dim * sizeof(float));
        }
        gathered.push_back(std::move(g));
      }
      for (std::size_t p = 0; p < blocks.size(); ++p) {
        Block& b = blocks[p];
        TransitionMatrix t;
        t.row_ptrs = b.transition.row_ptrs.data();
        t.num_nodes = b.rows;
        t.owned_wide_cols = b.transition.columns;
        t.wide_cols = t.owned_wide_cols.data();
        t.scales = b.transition.scales;
        MatrixF32 next = MatrixF32::try_zeroed(b.rows, dim).value();
        RowBlockOutput out;
        out.next = next.data.data();
        out.normalize = c.normalize;
        if (c.weights[i] != 0.0) {
          out.accumulator = b.acc.data.data();
          out.weight = w;
          out.mode = b.has_acc ? AccumulateMode::add : AccumulateMode::store;
          b.has_acc = true;
        }
        // Own rows and each peer's rows, as separate arrays.
        std::vector<const float*> source;
        for (std::uint64_t r = 0; r < gathered[p].rows; ++r) source.push_back(gathered[p].row(r));
        propagate_block(t, source, dim, out);
        b.current = std::move(next);
      }
    } else if (c.weights[0] != 0.0) {
      for (Block& b : blocks) {
        accumulate(b.acc, b.current, w, true);
        b.has_acc = true;
      }
    }
  }
  auto result = MatrixF32::try_zeroed(e.n, dim).value();
  for (const Block& b : blocks)
    if (b.rows * dim > 0) std::memcpy(result.row(b.first_row), b.acc.data.data(), b.rows * dim * sizeof(float));
  return result;
}

bool same_bits(const MatrixF32& a, const MatrixF32& b) {
  if (a.rows != b.rows || a.cols != b.cols) return false;
  for (std::uint64_t i = 0; i < a.rows * a.cols; ++i) {
    const float x = a.data[i], y = b.data[i];
    if (!(std::isnan(x) && std::isnan(y)) && std::bit_cast<std::uint32_t>(x) != std::bit_cast<std::uint32_t>(y))
      return false;
  }
  return true;
}

class RowBlocks : public ::testing::TestWithParam<std::tuple<Case, std::uint64_t>> {};

TEST_P(RowBlocks, AssembleTheWholeFit) {
  const auto& [c, parts] = GetParam();
  EdgeList edges = random_edges(97, 420, 5);
  if (c.edge_weight == EdgeWeight::log1p)
    for (double& w : edges.w) w = std::abs(w);  // log1p refuses negative weights
  constexpr std::uint64_t dim = 19;  // SIMD blocks and a scalar tail
  MatrixF64 features{std::vector<double>(edges.n * 3), 0, edges.n, 3, 3, 1};
  for (std::uint64_t i = 0; i < edges.n * 3; ++i) features.storage[i] = double((i * 7) % 5) - 2.0;

  CsrGraph graph = whole_graph(edges);
  ASSERT_FALSE(transform_edge_weights(graph, c.edge_weight));
  FitParams params(dim);
  params.weights = c.weights;
  params.seed = 77;
  params.undirected = c.undirected;
  params.feature_weight = 0.75;
  if (c.features) params.node_features = features;
  FitOptions options;
  options.normalize = c.normalize;
  options.degree_exponent = c.degree_exponent;
  options.direction = c.direction;
  auto whole = fit(graph, params, options);
  ASSERT_TRUE(whole);
  auto blocks = fit_in_blocks(edges, parts, dim, c, c.features ? &features : nullptr);
  ASSERT_TRUE(blocks);
  EXPECT_TRUE(same_bits(whole.value(), blocks.value()));
}

const Case CASES[] = {
    {true, Direction::out, false, 0.0, EdgeWeight::raw, false, {0.0, 1.0, 1.0}},
    {true, Direction::out, true, -0.5, EdgeWeight::binary, true, {0.5, 0.0, 1.0, 2.0}},
    {false, Direction::out, false, 0.0, EdgeWeight::log1p, false, {1.0, 1.0}},
    {false, Direction::in, true, 0.5, EdgeWeight::raw, true, {0.0, 0.0, 1.0, 1.0}},
    {false, Direction::in, false, -1.0, EdgeWeight::binary, false, {2.0}},
};

INSTANTIATE_TEST_SUITE_P(Cases, RowBlocks,
                         ::testing::Combine(::testing::ValuesIn(CASES), ::testing::Values(1u, 2u, 3u, 7u)));

TEST(RowBlockGraph, LogRefusalNamesTheNodesOfTheWholeGraph) {
  // Gathered nodes 10, 20, 30; the edge 20 -> 30 has a negative weight.
  const std::vector<std::uint64_t> ids{10, 20, 30};
  CsrGraph graph = row_block_graph(3, std::vector<std::uint64_t>{0, 1}, std::vector<std::uint64_t>{2, 2},
                                   std::vector<double>{1.0, -1.0})
                       .value();
  auto refusal = transform_edge_weights(graph, EdgeWeight::log1p, ids.data());
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->find("edge 20 -> 30 is -1"), std::string::npos) << *refusal;
}

}  // namespace
}  // namespace graphripple
