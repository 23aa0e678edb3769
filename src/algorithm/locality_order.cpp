// The locality order, its measure and the renumbered transition.
//
// The order grows clusters: from a root, rows that two of the cluster's
// rows link to join it, so a community whose ids are scattered becomes one
// run of consecutive rows, and a run's propagation gathers from rows it
// has just read. On graphs with communities and shuffled ids this turns
// most gathers into cache hits (a plain breadth-first order, whose levels
// mix communities, saved about half as much); on graphs whose ids already
// follow their structure, or without communities, it gains little, which
// a sample of both orders shows before the whole order is built.
#include "algorithm/locality_order.h"

#include <algorithm>
#include <limits>

#include "algorithm/row_loop.h"
#include "error/fallible_alloc.h"

namespace graphripple {

namespace {

// Rows within this many bytes of a row's own count as near: about what a
// core's second-level cache keeps of the rows it has just read.
constexpr std::uint64_t NEAR_BYTES = std::uint64_t{512} << 10;

// A stored order with at least this share of near entries is kept as it is.
constexpr double LOCAL_ENOUGH = 0.5;

// The cluster order must beat the stored one by this share. Measured on
// 1M-node graphs at 128 columns (windows of 1,024 rows): shuffled
// block-model ids went from 0.002 to 0.88, and their propagations took
// about half the time; power-law ids went from 0.002 to 0.02, where a
// locality order saved 3 % of the propagations and cost more than that to
// build.
constexpr double MIN_GAIN = 0.1;

// Rows whose entries estimate a share: enough for a stable estimate at a
// cost far below one propagation.
constexpr std::uint64_t SAMPLE_ROWS = 16384;

// How far ahead scattered rows and marks are prefetched: the walks below are
// bound by the latency of these reads.
constexpr std::uint64_t AHEAD = 8;

// Links into its cluster that admit a row: one can be a stray link from
// another community, two rarely are.
constexpr std::uint8_t ADMIT_LINKS = 2;

// One word per row, read at random once per entry of the walk: a placed
// row holds PLACED | its place; an unplaced one the cluster that last
// linked to it (shifted by LINK_BITS) and how many of its rows did.
struct WalkMarks {
  static constexpr std::uint64_t PLACED = std::uint64_t{1} << 63;
  static constexpr int LINK_BITS = 8;
  std::vector<std::uint64_t> words;

  bool reset(std::uint64_t n) {
    if (!try_reserve(words, n)) return false;
    words.assign(n, 0);
    return true;
  }
  bool placed(std::uint64_t row) const { return (words[row] & PLACED) != 0; }
  std::optional<std::uint64_t> place_of(std::uint64_t row) const {
    return placed(row) ? std::optional(words[row] & ~PLACED) : std::nullopt;
  }
};

// Grows clusters one after another until `limit` rows are placed: each
// starts at the lowest unplaced row and takes its neighbours, then, walking
// its rows in the order they were placed, every row that two of its rows
// link to. A community with scattered ids thus comes out as one run of
// places. queue[p] is the row placed at p.
template <class Col>
void visit_clusters(const std::uint64_t* row_ptrs, const Col* cols, std::uint64_t n, std::uint64_t limit,
                    std::vector<std::uint64_t>& queue, WalkMarks& marks) {
  std::uint64_t* words = marks.words.data();
  auto place = [&](std::uint64_t row) {
    words[row] = WalkMarks::PLACED | queue.size();
    queue.push_back(row);
  };
  std::uint64_t cluster = 0;  // at most n < 2^55 clusters
  for (std::uint64_t root = 0; root < n && queue.size() < limit; ++root) {
    if (marks.placed(root)) continue;
    const std::uint64_t tag = ++cluster << WalkMarks::LINK_BITS;
    const std::uint64_t first = queue.size();
    place(root);
    for (std::uint64_t head = first; head < queue.size(); ++head) {
      if (head + AHEAD < queue.size()) {
        __builtin_prefetch(row_ptrs + queue[head + AHEAD]);
        __builtin_prefetch(cols + row_ptrs[queue[head + AHEAD / 2]]);
      }
      const std::uint64_t row = queue[head];
      const std::uint64_t end = row_ptrs[row + 1];
      for (std::uint64_t k = row_ptrs[row]; k < end; ++k) {
        if (k + AHEAD < end) __builtin_prefetch(words + cols[k + AHEAD]);
        const std::uint64_t column = cols[k];
        std::uint64_t word = words[column];
        if ((word & WalkMarks::PLACED) != 0) continue;
        if (head != first) {  // the root's own neighbours are taken at once
          word = (word >> WalkMarks::LINK_BITS << WalkMarks::LINK_BITS) == tag ? word + 1 : tag + 1;
          words[column] = word;
          if (word - tag < ADMIT_LINKS) continue;
        }
        if (queue.size() == limit) return;
        place(column);
      }
    }
  }
}

// Entries of the given rows whose column lies within `window` places of the
// row's, and all their entries; place_of(row) is a row's place, or none.
template <class Col, class Rows, class PlaceOf>
std::pair<std::uint64_t, std::uint64_t> count_near(const std::uint64_t* row_ptrs, const Col* cols, const Rows& rows,
                                                   std::uint64_t window, PlaceOf place_of) {
  std::uint64_t near = 0, entries = 0;
  for (const std::uint64_t row : rows) {
    const std::uint64_t at = *place_of(row);
    entries += row_ptrs[row + 1] - row_ptrs[row];
    for (std::uint64_t k = row_ptrs[row]; k < row_ptrs[row + 1]; ++k) {
      const std::optional<std::uint64_t> other = place_of(cols[k]);
      if (other) near += (*other > at ? *other - at : at - *other) < window;
    }
  }
  return {near, entries};
}

double share(std::pair<std::uint64_t, std::uint64_t> counts) {
  return counts.second == 0 ? 1.0 : static_cast<double>(counts.first) / static_cast<double>(counts.second);
}

// The near share of the stored order, from SAMPLE_ROWS rows spread evenly.
template <class Col>
double stored_share(const std::uint64_t* row_ptrs, const Col* cols, std::uint64_t n, std::uint64_t window) {
  std::vector<std::uint64_t> rows;
  const std::uint64_t count = std::min(n, SAMPLE_ROWS);
  rows.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) rows.push_back(i * (n / count));
  return share(count_near(row_ptrs, cols, rows, window, [](std::uint64_t row) { return std::optional(row); }));
}

// The near share of the cluster order, from its first SAMPLE_ROWS rows
// (columns not yet placed count as far).
template <class Col>
double cluster_share(const std::uint64_t* row_ptrs, const Col* cols, std::uint64_t n, std::uint64_t window,
                     WalkMarks& marks) {
  std::vector<std::uint64_t> queue;
  queue.reserve(std::min(n, SAMPLE_ROWS));
  visit_clusters(row_ptrs, cols, n, SAMPLE_ROWS, queue, marks);
  return share(count_near(row_ptrs, cols, queue, window, [&](std::uint64_t row) { return marks.place_of(row); }));
}

template <class Col>
std::optional<RowOrder> choose(const std::uint64_t* row_ptrs, const Col* cols, std::uint64_t n,
                               std::uint64_t window, RowOrdering ordering) {
  WalkMarks marks;
  if (!marks.reset(n)) return std::nullopt;
  if (ordering == RowOrdering::automatic) {
    const double stored = stored_share(row_ptrs, cols, n, window);
    if (stored >= LOCAL_ENOUGH || cluster_share(row_ptrs, cols, n, window, marks) < stored + MIN_GAIN)
      return std::nullopt;
    marks.reset(n);  // the same size again: cannot fail
  }
  RowOrder order;
  if (!try_reserve(order.old_of, n)) return std::nullopt;
  visit_clusters(row_ptrs, cols, n, n, order.old_of, marks);
  order.new_of.swap(marks.words);  // every row is placed: each word holds its place
  for (std::uint64_t& place : order.new_of) place &= ~WalkMarks::PLACED;
  return order;
}

template <class Col>
void fill_reordered(const TransitionMatrix& from, const Col* cols, const RowOrder& order, TransitionMatrix& to,
                    Col* out_cols) {
  const std::uint64_t* ptrs = to.owned_row_ptrs.data();
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t k = lo; k < hi; ++k) {
      // The source rows are scattered: fetch a few rows ahead.
      if (k + AHEAD < hi) {
        __builtin_prefetch(from.row_ptrs + order.old_of[k + AHEAD]);
        const std::uint64_t near = from.row_ptrs[order.old_of[k + AHEAD / 2]];
        __builtin_prefetch(cols + near);
        __builtin_prefetch(from.scales.data() + near);
      }
      const std::uint64_t row = order.old_of[k];
      std::uint64_t at = ptrs[k];
      const std::uint64_t end = from.row_ptrs[row + 1];
      for (std::uint64_t e = from.row_ptrs[row]; e < end; ++e, ++at) {
        if (e + AHEAD < end) __builtin_prefetch(&order.new_of[cols[e + AHEAD]]);
        out_cols[at] = static_cast<Col>(order.new_of[cols[e]]);
        to.scales[at] = from.scales[e];
      }
    }
  };
  for_row_ranges_weighted(to.num_nodes, ptrs, ptrs[to.num_nodes] + to.num_nodes, RangeBody(body));
}

}  // namespace

Expected<TransitionMatrix> reorder_transition(const TransitionMatrix& transition, const RowOrder& order) {
  const std::uint64_t n = transition.num_nodes;
  const std::uint64_t entries = n == 0 ? 0 : transition.row_ptrs[n];
  TransitionMatrix reordered;
  reordered.num_nodes = n;
  if (auto status = try_reserve(reordered.owned_row_ptrs, n + 1); !status) return std::move(status).error();
  if (auto status = try_reserve(reordered.scales, entries); !status) return std::move(status).error();
  const bool wide = transition.wide_cols != nullptr;
  if (auto status = wide ? try_reserve(reordered.owned_wide_cols, entries) : try_reserve(reordered.narrow_cols, entries);
      !status)
    return std::move(status).error();
  std::vector<std::uint64_t>& ptrs = reordered.owned_row_ptrs;
  ptrs.push_back(0);
  for (std::uint64_t k = 0; k < n; ++k) ptrs.push_back(ptrs.back() + transition.degree(order.old_of[k]));
  reordered.row_ptrs = ptrs.data();
  reordered.scales.resize(entries);
  if (wide) {
    reordered.owned_wide_cols.resize(entries);
    reordered.wide_cols = reordered.owned_wide_cols.data();
    fill_reordered(transition, transition.wide_cols, order, reordered, reordered.owned_wide_cols.data());
  } else {
    reordered.narrow_cols.resize(entries);
    fill_reordered(transition, transition.narrow_cols.data(), order, reordered, reordered.narrow_cols.data());
  }
  return reordered;
}

std::optional<RowOrder> choose_locality_order(const TransitionMatrix& transition, std::uint64_t width,
                                              RowOrdering ordering) {
  const std::uint64_t n = transition.num_nodes;
  if (ordering == RowOrdering::stored || n < 2) return std::nullopt;
  // Widths up to 2^62 columns: counted in floats, never in bytes.
  constexpr std::uint64_t MIN_FLOATS = LOCALITY_MIN_MATRIX_BYTES / sizeof(float);
  const std::uint64_t floats = std::max<std::uint64_t>(width, 1);
  if (ordering == RowOrdering::automatic && floats < MIN_FLOATS && n < (MIN_FLOATS + floats - 1) / floats)
    return std::nullopt;  // the matrices stay in cache
  const std::uint64_t window = std::max<std::uint64_t>(NEAR_BYTES / sizeof(float) / floats, 1);
  if (transition.wide_cols != nullptr) return choose(transition.row_ptrs, transition.wide_cols, n, window, ordering);
  return choose(transition.row_ptrs, transition.narrow_cols.data(), n, window, ordering);
}

}  // namespace graphripple
