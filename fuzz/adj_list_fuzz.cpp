// Fuzzes CsrGraph::from_adj_list with lists of (target, weight) pairs.
//
// Targets are mostly in range, repeated and unordered; a few are at or past
// the node count (up to 2^64 - 1). Some lists are long enough for the
// long-row sort.
// - On success: the four graph invariants hold and the rows equal a
//   map-based merge of the pairs.
// - On failure: the text has the out-of-bounds form and names the first
//   bad target in list order.
#include <regex>

#include "fuzz_support.h"

namespace graphripple::fuzz {
namespace {

constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

AdjacencyList decode(FuzzedDataProvider& data) {
  const std::uint64_t n = data.ConsumeIntegral<std::uint8_t>() % 24;
  AdjacencyList lists(n);
  for (AdjacencyRow& row : lists) {
    if (data.remaining_bytes() == 0) break;
    const auto length_byte = data.ConsumeIntegral<std::uint8_t>();
    const std::uint64_t length = length_byte >= 0xF0 ? 21 + (length_byte & 15) : length_byte % 6;
    for (std::uint64_t k = 0; k < length; ++k) {
      const auto target_byte = data.ConsumeIntegral<std::uint8_t>();
      std::uint64_t target = target_byte % std::max<std::uint64_t>(n, 1);
      if (target_byte >= 0xFC) target = target_byte == 0xFF ? MAX : n + (target_byte & 3);
      row.emplace_back(target, decode_weight(data));
    }
  }
  return lists;
}

const std::regex OUT_OF_BOUNDS(R"(Target node ID (\d+) is out of bounds for graph with (\d+) nodes)");

void run(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  AdjacencyList lists = decode(data);
  const std::uint64_t n = lists.size();

  std::string expected;
  RowMaps reference(n);
  for (std::uint64_t i = 0; i < n && expected.empty(); ++i)
    for (const auto& [target, weight] : lists[i]) {
      if (target >= n) {
        expected = "Target node ID " + std::to_string(target) + " is out of bounds for graph with " +
                   std::to_string(n) + " nodes";
        break;
      }
      add_entry(reference, i, target, weight);
    }

  auto result = CsrGraph::from_adj_list(std::move(lists));
  if (result) {
    check(expected.empty(), "accepted, but expected: " + expected);
    check(result->num_nodes == n, "num_nodes is not the number of lists");
    check_invariants(*result, "from_adj_list");
    check_rows(rows_of(*result), reference, "from_adj_list");
    return;
  }
  const EmbeddingError& error = result.error();
  check(error.is_shape_mismatch(), "not a message error: " + error.display());
  check(error.display() == "Shape mismatch: " + error.message(), "display lacks the prefix: " + error.display());
  check(std::regex_match(error.message(), OUT_OF_BOUNDS), "unknown message form: " + error.message());
  check(error.message() == expected, "message: " + error.message() + "\n  expected: " + expected);
}

}  // namespace
}  // namespace graphripple::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  graphripple::fuzz::run(data, size);
  return 0;
}
