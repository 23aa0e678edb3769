// Fuzzes CsrGraph::from_csr with structured CSR arrays.
//
// The input bytes describe a well-formed graph (row lengths, columns,
// weights) and then, under flag bits, break it in the ways the validation
// must catch: a wrong row_ptrs length, unequal col_indices and values, a
// non-zero start, a wrong end, a decrease, an out-of-range column, and a
// num_nodes near 2^64. Rows are often unsorted and repeat columns, and some
// are long enough for the long-row sort.
// - On success: the four graph invariants hold and the rows equal a
//   map-based merge of the input entries.
// - On failure: the text has one of the six validation forms and is the
//   one a plain re-check of the tests, in their fixed order, expects.
#include <regex>

#include "fuzz_support.h"

namespace graphripple::fuzz {
namespace {

constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

struct Input {
  std::vector<std::uint64_t> row_ptrs;
  std::vector<std::uint64_t> col_indices;
  std::vector<double> values;
  std::uint64_t num_nodes = 0;
};

Input decode(FuzzedDataProvider& data) {
  Input in;
  const auto flags = data.ConsumeIntegral<std::uint8_t>();
  const auto size_byte = data.ConsumeIntegral<std::uint8_t>();
  std::uint64_t rows = size_byte % 24;
  in.num_nodes = rows;
  if (flags & 0x80) {
    const std::uint64_t huge[] = {MAX, MAX - 1, std::uint64_t{1} << 63, std::uint64_t{1} << 32};
    in.num_nodes = huge[size_byte & 3];
    rows = size_byte % 5;
  }

  in.row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < rows && data.remaining_bytes() > 0; ++i) {
    const auto length_byte = data.ConsumeIntegral<std::uint8_t>();
    // Mostly short rows; a few longer than the insertion-sort limit.
    const std::uint64_t length = length_byte >= 0xF0 ? 21 + (length_byte & 15) : length_byte % 6;
    for (std::uint64_t k = 0; k < length; ++k) {
      const auto column_byte = data.ConsumeIntegral<std::uint8_t>();
      std::uint64_t column = column_byte % std::max<std::uint64_t>(in.num_nodes, 1);
      if (column_byte >= 0xFC) column = column_byte == 0xFF ? MAX : in.num_nodes + (column_byte & 3);
      in.col_indices.push_back(column);
      in.values.push_back(decode_weight(data));
    }
    in.row_ptrs.push_back(in.col_indices.size());
  }
  // The loop may end early on short input; keep row_ptrs consistent with
  // num_nodes unless a flag breaks it on purpose.
  while (in.row_ptrs.size() < rows + 1) in.row_ptrs.push_back(in.col_indices.size());

  const auto amount = [&] { return data.ConsumeIntegralInRange<std::uint64_t>(0, 4); };
  if (flags & 0x01) {
    if (data.ConsumeBool() && !in.row_ptrs.empty())
      in.row_ptrs.pop_back();
    else
      in.row_ptrs.push_back(in.col_indices.size() + amount());
  }
  if (flags & 0x02) {
    if (data.ConsumeBool() && !in.values.empty())
      in.values.pop_back();
    else
      in.values.push_back(1.0);
  }
  if ((flags & 0x04) && !in.row_ptrs.empty()) in.row_ptrs.front() = 1 + amount();
  if ((flags & 0x08) && !in.row_ptrs.empty()) in.row_ptrs.back() = data.ConsumeBool() ? MAX : in.row_ptrs.back() + 1 + amount();
  if ((flags & 0x10) && in.row_ptrs.size() > 2) {
    const std::size_t at = data.ConsumeIntegralInRange<std::size_t>(1, in.row_ptrs.size() - 2);
    in.row_ptrs[at] = in.row_ptrs[at + 1] + 1 + amount();
  }
  return in;
}

// The validation tests in their fixed order, written out plainly; the text
// of the first failing one, or empty when all pass.
std::string expected_message(const Input& in) {
  const auto s = [](std::uint64_t v) { return std::to_string(v); };
  // num_nodes + 1 wraps for the largest num_nodes; how that count is
  // printed is left open, so only the text before it is expected then.
  if (in.num_nodes == MAX) return "row_ptrs length " + s(in.row_ptrs.size()) + " must be num_nodes + 1 (";
  if (in.row_ptrs.size() != in.num_nodes + 1)
    return "row_ptrs length " + s(in.row_ptrs.size()) + " must be num_nodes + 1 (" + s(in.num_nodes + 1) + ")";
  if (in.col_indices.size() != in.values.size()) return "col_indices and values must have the same length";
  if (in.row_ptrs[0] != 0) return "row_ptrs[0] must be 0, got " + s(in.row_ptrs[0]);
  if (in.row_ptrs.back() != in.col_indices.size())
    return "row_ptrs last element (" + s(in.row_ptrs.back()) + ") must equal col_indices length (" +
           s(in.col_indices.size()) + ")";
  for (std::size_t i = 0; i + 1 < in.row_ptrs.size(); ++i)
    if (in.row_ptrs[i + 1] < in.row_ptrs[i])
      return "row_ptrs must be monotonically non-decreasing, found " + s(in.row_ptrs[i]) + " followed by " +
             s(in.row_ptrs[i + 1]);
  for (std::size_t k = 0; k < in.col_indices.size(); ++k)
    if (in.col_indices[k] >= in.num_nodes)
      return "col_indices[" + s(k) + "] = " + s(in.col_indices[k]) + " is out of bounds for graph with " +
             s(in.num_nodes) + " nodes";
  return "";
}

const std::regex MESSAGE_FORMS[] = {
    std::regex(R"(row_ptrs length \d+ must be num_nodes \+ 1 \(\d+\))"),
    std::regex(R"(col_indices and values must have the same length)"),
    std::regex(R"(row_ptrs\[0\] must be 0, got \d+)"),
    std::regex(R"(row_ptrs last element \(\d+\) must equal col_indices length \(\d+\))"),
    std::regex(R"(row_ptrs must be monotonically non-decreasing, found \d+ followed by \d+)"),
    std::regex(R"(col_indices\[\d+\] = \d+ is out of bounds for graph with \d+ nodes)"),
};

void run(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  Input in = decode(data);
  const std::string expected = expected_message(in);
  RowMaps reference;
  if (expected.empty()) {
    reference.resize(in.num_nodes);
    for (std::uint64_t i = 0; i < in.num_nodes; ++i)
      for (std::uint64_t k = in.row_ptrs[i]; k < in.row_ptrs[i + 1]; ++k)
        add_entry(reference, i, in.col_indices[k], in.values[k]);
  }

  auto result = CsrGraph::from_csr(std::move(in.row_ptrs), std::move(in.col_indices), std::move(in.values),
                                   in.num_nodes);
  if (result) {
    check(expected.empty(), "accepted, but expected: " + expected);
    check_invariants(*result, "from_csr");
    check_rows(rows_of(*result), reference, "from_csr");
    return;
  }
  const EmbeddingError& error = result.error();
  check(error.is_shape_mismatch(), "not a message error: " + error.display());
  const std::string& message = error.message();
  check(error.display() == "Shape mismatch: " + message, "display lacks the prefix: " + error.display());
  bool known_form = false;
  for (const std::regex& form : MESSAGE_FORMS) known_form |= std::regex_match(message, form);
  check(known_form, "unknown message form: " + message);
  check(!expected.empty(), "rejected a valid graph: " + message);
  const bool prefix_only = expected.back() == '(';
  check(prefix_only ? message.starts_with(expected) : message == expected,
        "message: " + message + "\n  expected: " + expected);
}

}  // namespace
}  // namespace graphripple::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  graphripple::fuzz::run(data, size);
  return 0;
}
