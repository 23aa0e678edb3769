// RowSorter: sorts one row's (column, weight) pairs by column, stably.
//
// Used by CsrGraph::canonicalize, which merges equal columns by summing
// their weights in the order the sort leaves them; a stable sort makes that
// order the stored order for every row length, so the sums do not depend on
// how long a row is.
// - Rows of up to SHORT_ROW pairs use insertion sort (no extra memory).
// - Longer rows use a bottom-up merge sort whose second buffer is reserved
//   fallibly up front, so sorting itself never allocates.
// - One sorter is reused for every row of a graph.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "error/expected.h"
#include "error/fallible_alloc.h"

namespace graphripple::detail {

struct RowPair {
  std::uint64_t column;
  double weight;
};

class RowSorter {
 public:
  static constexpr std::uint64_t SHORT_ROW = 20;

  /// Reserves room for rows of up to `longest_row` pairs.
  Status reserve(std::uint64_t longest_row) {
    if (Status reserved = try_reserve(pairs_, longest_row); !reserved) return reserved;
    if (longest_row > SHORT_ROW) return try_reserve(spare_, longest_row);
    return Status::ok();
  }

  /// Copies `count` pairs in (count within the reserved room) and returns them.
  RowPair* load(const std::uint64_t* columns, const double* weights, std::uint64_t count) {
    pairs_.resize(count);
    for (std::uint64_t k = 0; k < count; ++k) pairs_[k] = {columns[k], weights[k]};
    return pairs_.data();
  }

  /// Sorts the loaded pairs by column; equal columns keep their stored order.
  void sort() {
    const std::uint64_t count = pairs_.size();
    if (count < 2) return;
    RowPair* data = pairs_.data();
    for (std::uint64_t run = 0; run < count; run += SHORT_ROW)
      insertion_sort(data + run, std::min(SHORT_ROW, count - run));
    if (count <= SHORT_ROW) return;

    spare_.resize(count);
    RowPair* from = data;
    RowPair* to = spare_.data();
    for (std::uint64_t width = SHORT_ROW; width < count; width *= 2) {
      for (std::uint64_t lo = 0; lo < count; lo += 2 * width) {
        const std::uint64_t mid = std::min(lo + width, count);
        const std::uint64_t hi = std::min(lo + 2 * width, count);
        merge(from + lo, from + mid, from + mid, from + hi, to + lo);
      }
      std::swap(from, to);
    }
    if (from != data) std::copy(from, from + count, data);
  }

 private:
  static void insertion_sort(RowPair* data, std::uint64_t count) {
    for (std::uint64_t i = 1; i < count; ++i) {
      const RowPair item = data[i];
      std::uint64_t j = i;
      // Strictly greater: an equal column stops the shift, keeping stored order.
      while (j > 0 && data[j - 1].column > item.column) {
        data[j] = data[j - 1];
        --j;
      }
      data[j] = item;
    }
  }

  // Takes from the left run on ties, which is what keeps the sort stable.
  static void merge(const RowPair* a, const RowPair* a_end, const RowPair* b, const RowPair* b_end,
                    RowPair* out) {
    while (a != a_end && b != b_end) *out++ = (b->column < a->column) ? *b++ : *a++;
    out = std::copy(a, a_end, out);
    std::copy(b, b_end, out);
  }

  std::vector<RowPair> pairs_;
  std::vector<RowPair> spare_;
};

}  // namespace graphripple::detail
