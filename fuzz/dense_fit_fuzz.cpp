// Fuzzes the dense path end to end: CsrGraph::from_dense on a small matrix
// in one of several memory layouts, the merged rows of A + A^T, and a small
// seeded fit.
//
// - from_dense: a non-square matrix fails with its one message; otherwise
//   the invariants hold and the rows are exactly the non-zero elements.
// - symmetrized rows (as the engine merges them): the invariants hold and
//   the rows are A + A^T without zeros.
// - fit: an n x dim result equal, bit for bit (NaN matching any NaN), to
//   the serial reference fit, and a second identical fit gives the same
//   bytes. Node features with the wrong row count fail with their message.
#include <cstring>
#include <regex>

#include "algorithm/fit.h"
#include "algorithm/reference_fit.h"
#include "fuzz_support.h"

namespace graphripple::fuzz {
namespace {

// Element (r, c) of a rows x cols matrix stored in `layout`:
// 0 row-major, 1 column-major, 2 rows reversed, 3 both axes padded and the
// columns reversed.
MatrixF64 layout_matrix(const std::vector<std::vector<double>>& elements, std::uint64_t rows, std::uint64_t cols,
                        unsigned layout) {
  MatrixF64 m;
  m.rows = rows;
  m.cols = cols;
  const std::int64_t r = std::int64_t(rows), c = std::int64_t(cols);
  switch (layout) {
    case 0: m.row_stride = c; m.col_stride = 1; m.origin_offset = 0; m.storage.resize(rows * cols); break;
    case 1: m.row_stride = 1; m.col_stride = r; m.origin_offset = 0; m.storage.resize(rows * cols); break;
    case 2:
      m.row_stride = -c; m.col_stride = 1;
      m.origin_offset = rows == 0 ? 0 : (rows - 1) * cols;
      m.storage.resize(rows * cols);
      break;
    default:
      m.row_stride = 2 * c + 3; m.col_stride = -2;
      m.origin_offset = cols == 0 ? 0 : 2 * (cols - 1);
      m.storage.assign(rows * (2 * cols + 3) + 1, std::numeric_limits<double>::quiet_NaN());
      break;
  }
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t j = 0; j < cols; ++j)
      m.storage[std::int64_t(m.origin_offset) + std::int64_t(i) * m.row_stride + std::int64_t(j) * m.col_stride] =
          elements[i][j];
  return m;
}

MatrixF64 decode_matrix(FuzzedDataProvider& data, std::uint64_t rows, std::uint64_t cols) {
  const unsigned layout = data.ConsumeIntegral<std::uint8_t>() & 3;
  std::vector<std::vector<double>> elements(rows, std::vector<double>(cols, 0.0));
  for (auto& row : elements)
    for (double& x : row) {
      // About half the elements are zeros (+0.0 or -0.0), so graphs are sparse.
      const auto byte = data.ConsumeIntegral<std::uint8_t>();
      x = byte < 0x7F ? 0.0 : byte == 0x7F ? -0.0 : decode_weight(data);
    }
  return layout_matrix(elements, rows, cols, layout);
}

const std::regex FEATURE_ROWS(R"(Node features row count \d+ does not match graph node count \d+)");

bool same_floats(const testing::Dense& want, const MatrixF32& got) {
  for (std::uint64_t r = 0; r < got.rows; ++r)
    for (std::uint64_t c = 0; c < got.cols; ++c) {
      const float a = want[r][c], b = got.at(r, c);
      if (!(std::isnan(a) && std::isnan(b)) && std::bit_cast<std::uint32_t>(a) != std::bit_cast<std::uint32_t>(b))
        return false;
    }
  return true;
}

void run(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const auto shape = data.ConsumeIntegral<std::uint8_t>();
  std::uint64_t rows = shape % 9, cols = rows;
  if (shape >= 0xF0) cols = (rows + 1 + (shape & 3)) % 9;  // rarely non-square
  const MatrixF64 matrix = decode_matrix(data, rows, cols);
  const MatrixViewF64 view = matrix.view();

  auto built = CsrGraph::from_dense(view);
  if (rows != cols) {
    check(!built && built.error().is_shape_mismatch() && built.error().message() == "Adjacency matrix must be square",
          "non-square matrix not rejected with its message");
    return;
  }
  check(built.has_value(), "from_dense failed: " + (built ? std::string() : built.error().display()));
  const CsrGraph& graph = *built;
  check_invariants(graph, "from_dense");
  RowMaps reference(rows);
  for (std::uint64_t r = 0; r < rows; ++r)
    for (std::uint64_t c = 0; c < cols; ++c)
      if (view.at(r, c) != 0.0) reference[r][c] = view.at(r, c);
  check_rows(rows_of(graph), reference, "from_dense");

  auto sym = test::symmetrized_graph(graph);
  check(sym.has_value(), "symmetrized rows failed: " + (sym ? std::string() : sym.error().display()));
  check_invariants(*sym, "symmetrized rows");
  check_rows(rows_of(*sym), reference_symmetrize(reference), "symmetrized rows");

  FitParams params(1 + data.ConsumeIntegral<std::uint8_t>() % 8);
  params.weights.clear();
  const std::size_t num_weights = data.ConsumeIntegral<std::uint8_t>() % 5;
  for (std::size_t i = 0; i < num_weights; ++i) params.weights.push_back(decode_weight(data));
  params.seed = data.ConsumeIntegral<std::uint64_t>();
  params.undirected = data.ConsumeBool();
  const auto feature_byte = data.ConsumeIntegral<std::uint8_t>();
  const bool wrong_rows = feature_byte >= 0xF8;
  if (feature_byte & 1) {
    params.node_features = decode_matrix(data, wrong_rows ? rows + 1 : rows, (feature_byte >> 1) % 5);
    params.feature_weight = decode_weight(data);
  }

  auto first = fit(graph, params);
  if (wrong_rows && params.node_features) {
    check(!first && first.error().is_shape_mismatch() && std::regex_match(first.error().message(), FEATURE_ROWS),
          "feature row mismatch not rejected with its message");
    return;
  }
  check(first.has_value(), "fit failed: " + (first ? std::string() : first.error().display()));
  const MatrixF32& result = *first;
  check(result.rows == rows && result.cols == params.dim, "result has the wrong shape");
  check(result.data.size() == rows * params.dim, "result buffer has the wrong size");
  check(same_floats(testing::reference_fit(graph, params), result), "fit differs from the serial reference");

  auto second = fit(graph, params);
  check(second.has_value(), "second fit failed");
  const std::size_t result_bytes = result.data.size() * sizeof(float);
  check(second->rows == result.rows && second->cols == result.cols &&
            (result_bytes == 0 || std::memcmp(second->data.data(), result.data.data(), result_bytes) == 0),
        "two identical seeded fits gave different bytes");
}

}  // namespace
}  // namespace graphripple::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  graphripple::fuzz::run(data, size);
  return 0;
}
