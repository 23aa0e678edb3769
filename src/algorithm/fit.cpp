// The fit pipeline: build the transition, draw X0, then propagate and
// accumulate with only the n x width matrices the weights need.
//
// Matrix plan. Let f and g be the first and last index whose weight is
// non-zero (64-bit test: NaN counts, -0.0 does not). Matrices held at once:
// - no non-zero weight: one, the zero result (X0 is still drawn, for its
//   errors and its draw from thread_rng, and released first);
// - g == 0: one, X0 scaled in place;
// - f == g >= 1: two; the last propagation writes (X(g) * w_g) + 0.0
//   straight into the free matrix;
// - g == f + 1: two; the first accumulation is deferred and fused into the
//   last propagation, which writes (X(g) * w_g) + ((X(f) * w_f) + 0.0) into
//   the free matrix;
// - otherwise three (X(i), X(i+1) and the accumulator, allocated at f);
//   the last propagation is accumulated without being stored.
// Propagations after g contribute nothing and are skipped.
//
// Combine::concat (fit_terms) keeps every term apart: X(i) and X(i+1) plus
// the term being written, (X(i) * w_i) + 0.0f exactly as the single-weight
// plan stores it, handed on as soon as it is complete (two matrices when
// g == 1, one when g == 0: X0 scaled in place).
//
// Scheduling differs from the plain loop only where the bytes cannot change:
// - `next` is overwritten row by row inside the propagation task instead of
//   being cleared in a separate pass;
// - the accumulation of X(i+1) is fused into the task that computes row r of
//   X(i+1) (the accumulator row is only touched by that task);
// - edge scales f32(value) * (1 / f32(deg)) are computed once per fit, and
//   for an undirected fit straight from the merged rows of A + A^T, which
//   are never stored as a graph of their own;
// - a first accumulation stores (x * w) + 0.0f instead of reading the
//   all-zero accumulator.
//
// PreparedFit splits the pipeline at the transition: validation and the
// transition depend only on the graph and the options, X0 and the
// propagations on the columns as well, so one prepared graph serves every
// column block of a fit (fit_into) without rebuilding the transition.
//
// When a locality order pays (locality_order.h), the prepared transition is
// renumbered by it, X0's row k is drawn from the seed of the caller's row
// it stands for, and every write of a result row (the accumulator, a stored
// term) goes back to the caller's row. X(i) between propagations stays in
// the order.
#include "algorithm/fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "algorithm/initial_embedding.h"
#include "algorithm/kernels.h"
#include "algorithm/row_loop.h"
#include "pool/fit_monitor.h"
#include "random/thread_rng.h"

namespace graphripple {

namespace {

// The 64-bit zero test decides whether a weight is accumulated at all: NaN
// counts as non-zero, and a tiny weight that rounds to 0.0f is still
// applied (turning infinities into NaN).
bool accumulates(double weight) { return weight != 0.0; }

struct WeightSpan {
  bool any = false;
  std::size_t first = 0, last = 0;
};

WeightSpan span_of(const std::vector<double>& weights) {
  WeightSpan span;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (!accumulates(weights[i])) continue;
    if (!span.any) span.first = i;
    span.any = true;
    span.last = i;
  }
  return span;
}

}  // namespace

// Starting row i is scaled by f32(deg(i) ** exponent); rows without entries
// keep their values.
Status scale_by_degree(MatrixF32& x0, const TransitionMatrix& transition, double exponent) {
  std::vector<float> factors;
  if (auto status = try_reserve(factors, x0.rows); !status) return status;
  factors.resize(x0.rows);
  for (std::uint64_t i = 0; i < x0.rows; ++i) {
    const std::uint64_t degree = transition.degree(i);
    factors[i] = degree == 0 ? 1.0f : static_cast<float>(std::pow(static_cast<double>(degree), exponent));
  }
  scale_each_row(x0, factors);
  return Status::ok();
}

Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params) {
  return fit(graph, params, FitOptions{});
}

Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params, const FitOptions& options) {
  const std::uint64_t start = options.column_start.value_or(0);
  const std::uint64_t stop = options.column_stop.value_or(total_columns(params, options));
  fault_unless(start <= stop && stop <= total_columns(params, options), "fit: column range outside the embedding");
  if (options.direction == Direction::both || options.combine == Combine::concat) {
    // Both halves, or the terms side by side, go into one result a piece
    // at a time.
    const std::uint64_t width = stop - start;
    auto result = MatrixF32::try_zeroed(graph.num_nodes, width);
    if (!result) return std::move(result).error();
    MatrixF32& matrix = result.value();
    const StridedOutput out{reinterpret_cast<char*>(matrix.data.data()), graph.num_nodes, width,
                            std::int64_t(width * sizeof(float)), std::int64_t(sizeof(float))};
    if (auto status = fit_into(graph, params, options, std::max<std::uint64_t>(width, 1), out); !status)
      return std::move(status).error();
    return std::move(result).value();
  }
  auto prepared = PreparedFit::prepare(graph, params, options, stop - start);
  if (!prepared) return std::move(prepared).error();
  check_point();
  PreparedFit::Progress progress{0, prepared.value().block_steps()};
  return prepared.value().fit_columns(start, stop, &progress);
}

std::uint64_t count_terms(const std::vector<double>& weights) {
  return std::uint64_t(std::count_if(weights.begin(), weights.end(), accumulates));
}

std::uint64_t direction_columns(const FitParams& params, const FitOptions& options) {
  return options.combine == Combine::concat ? params.dim * count_terms(params.weights) : params.dim;
}

std::uint64_t total_columns(const FitParams& params, const FitOptions& options) {
  const std::uint64_t columns = direction_columns(params, options);
  return options.direction == Direction::both ? 2 * columns : columns;
}

unsigned work_matrices(const std::vector<double>& weights, Combine combine) {
  const WeightSpan span = span_of(weights);
  if (!span.any || span.last == 0) return 1;
  // X(i), X(i+1) and the term being written.
  if (combine == Combine::concat) return span.last == 1 ? 2 : 3;
  if (span.first == span.last || span.last == span.first + 1) return 2;
  return 3;
}

Expected<PreparedFit> PreparedFit::prepare(const CsrGraph& graph, const FitParams& params,
                                           const FitOptions& options, std::optional<std::uint64_t> width) {
  const WeightSpan span = span_of(params.weights);
  const bool needs_transition = span.any && (span.last > 0 || options.degree_exponent != 0.0);
  fault_unless(options.direction != Direction::both, "PreparedFit: one direction at a time");
  PreparedFit prepared(graph, params, options);
  // Undirected: the rows of A + A^T go straight into the transition, so
  // the symmetrised graph is never stored as 16-byte entries. Validation
  // and its errors come first, as for a stored symmetrisation.
  if (params.undirected) {
    auto rows = SymmetrizedRows::prepare(graph);
    if (!rows) return std::move(rows).error();
    if (needs_transition) {
      auto merged = TransitionMatrix::from_symmetrized(rows.value());
      if (!merged) return std::move(merged).error();
      prepared.transition_.emplace(std::move(merged).value());
    }
  } else if (needs_transition) {
    auto built = options.direction == Direction::in ? TransitionMatrix::from_transposed(graph)
                                                    : TransitionMatrix::from_graph(graph);
    if (!built) return std::move(built).error();
    prepared.transition_.emplace(std::move(built).value());
  }
  // Only propagations gather neighbour rows; the order is an optimisation,
  // so a renumbered copy that does not fit in memory is simply skipped.
  if (prepared.transition_ && span.last > 0) {
    if (auto order = choose_locality_order(*prepared.transition_, width.value_or(params.dim), options.row_order)) {
      check_point();
      auto reordered = reorder_transition(*prepared.transition_, *order);
      if (reordered) {
        *prepared.transition_ = std::move(reordered).value();
        prepared.order_ = std::move(order);
      }
    }
  }
  return prepared;
}

void PreparedFit::Progress::step() { report_progress(++done, total); }

std::uint64_t PreparedFit::block_steps() const {
  const WeightSpan span = span_of(params_->weights);
  return 1 + (span.any ? span.last : 0);
}

Expected<MatrixF32> PreparedFit::starting_columns(std::uint64_t start, std::uint64_t stop,
                                                  Progress* progress) const {
  std::optional<MatrixViewF64> features;
  if (params_->node_features) features = params_->node_features->view();
  auto initial = initial_embedding_columns(graph_->num_nodes, start, stop, seed_ ? seed_ : params_->seed,
                                           features ? &*features : nullptr, params_->feature_weight, 0,
                                           order_ ? order_->old_of.data() : nullptr);
  if (!initial) return initial;
  if (progress != nullptr) progress->step();
  // Without a term no transition exists, and the result is zero anyway.
  if (span_of(params_->weights).any && options_->degree_exponent != 0.0) {
    if (auto status = scale_by_degree(initial.value(), *transition_, options_->degree_exponent); !status)
      return std::move(status).error();
  }
  return initial;
}

Expected<MatrixF32> PreparedFit::fit_columns(std::uint64_t start, std::uint64_t stop) const {
  return fit_columns(start, stop, nullptr);
}

Expected<MatrixF32> PreparedFit::fit_columns(std::uint64_t start, std::uint64_t stop, Progress* progress) const {
  const FitParams& params = *params_;
  const FitOptions& options = *options_;
  const std::vector<double>& weights = params.weights;
  const WeightSpan span = span_of(weights);
  fault_unless(start <= stop && stop <= params.dim, "fit: column range outside the embedding");
  const std::uint64_t n = graph_->num_nodes;

  auto initial = starting_columns(start, stop, progress);
  if (!initial) return std::move(initial).error();
  MatrixF32 current = std::move(initial).value();
  const std::uint64_t width = current.cols;

  if (!span.any) {
    current = MatrixF32{};
    return MatrixF32::try_zeroed(n, width);
  }
  const TransitionMatrix* transition = transition_ ? &*transition_ : nullptr;

  if (span.last == 0) {
    scale_rows(current, static_cast<float>(weights[0]));
    return current;
  }

  // The second matrix: mapped lazily from zero pages, so it costs no memory
  // until the first propagation writes it.
  auto second = MatrixF32::try_zeroed(n, width);
  if (!second) return std::move(second).error();
  MatrixF32 next = std::move(second).value();

  const bool deferred = span.last == span.first + 1;  // two matrices
  const bool single = span.first == span.last;        // two matrices
  std::optional<MatrixF32> accumulator;                // three matrices otherwise
  auto open_accumulator = [&]() -> Status {
    auto zeroed = MatrixF32::try_zeroed(n, width);
    if (!zeroed) return std::move(zeroed).error();
    accumulator.emplace(std::move(zeroed).value());
    return Status::ok();
  };
  if (span.first == 0 && !deferred) {
    if (auto status = open_accumulator(); !status) return std::move(status).error();
    accumulate(*accumulator, current, static_cast<float>(weights[0]), true, result_rows());
  }

  for (std::size_t i = 1; i <= span.last; ++i) {
    const float w = static_cast<float>(weights[i]);
    PropagationOutput output;
    output.normalize = options.normalize;
    output.output_rows = result_rows();
    if (i < span.last) {
      output.next = &next;
      if (accumulates(weights[i]) && !(deferred && i == span.first)) {
        const bool first = !accumulator;
        if (first) {
          if (auto status = open_accumulator(); !status) return std::move(status).error();
        }
        output.accumulator = &*accumulator;
        output.weight = w;
        output.mode = first ? AccumulateMode::store : AccumulateMode::add;
      }
    } else if (single) {
      output.accumulator = &next;
      output.weight = w;
      output.mode = AccumulateMode::store;
    } else if (deferred) {
      output.accumulator = &next;
      output.weight = w;
      output.mode = AccumulateMode::deferred;
      output.deferred = &current;
      output.deferred_weight = static_cast<float>(weights[span.first]);
    } else {
      output.accumulator = &*accumulator;
      output.weight = w;
      output.mode = AccumulateMode::add;
    }
    propagate(*transition, current, output);
    if (progress != nullptr) progress->step();
    if (i < span.last) std::swap(current, next);
  }
  if (single || deferred) return next;
  return std::move(*accumulator);
}

Status PreparedFit::fit_terms(std::uint64_t start, std::uint64_t stop, Progress* progress,
                              const TermSink& emit) const {
  const FitParams& params = *params_;
  const FitOptions& options = *options_;
  const std::vector<double>& weights = params.weights;
  const WeightSpan span = span_of(weights);
  fault_unless(start <= stop && stop <= params.dim, "fit_terms: column range outside the embedding");
  const std::uint64_t n = graph_->num_nodes;

  // X0 exactly as fit_columns draws and scales it.
  auto initial = starting_columns(start, stop, progress);
  if (!initial) return std::move(initial).error();
  MatrixF32 current = std::move(initial).value();
  const std::uint64_t width = current.cols;
  if (!span.any) return Status::ok();
  auto emitted = [&](std::uint64_t term, MatrixF32&& matrix) -> Status {
    if (auto status = emit(term, std::move(matrix)); !status) return status;
    if (progress != nullptr) progress->step();
    return Status::ok();
  };

  std::uint64_t term = 0;
  if (span.last == 0) {
    // The only term: X0 scaled in place, as the single-weight fit does.
    scale_rows(current, static_cast<float>(weights[0]));
    return emitted(term, std::move(current));
  }
  if (accumulates(weights[0])) {
    auto zeroed = MatrixF32::try_zeroed(n, width);
    if (!zeroed) return std::move(zeroed).error();
    MatrixF32 first = std::move(zeroed).value();
    accumulate(first, current, static_cast<float>(weights[0]), true, result_rows());  // (x * w) + 0.0f, as scale_rows
    if (auto status = emitted(term++, std::move(first)); !status) return status;
  }
  std::optional<MatrixF32> next;
  for (std::size_t i = 1; i <= span.last; ++i) {
    PropagationOutput output;
    output.normalize = options.normalize;
    output.output_rows = result_rows();
    if (i == span.last) {
      next.reset();  // X(last) is not stored: only the term is
    } else {
      if (!next) {
        auto zeroed = MatrixF32::try_zeroed(n, width);
        if (!zeroed) return std::move(zeroed).error();
        next.emplace(std::move(zeroed).value());
      }
      output.next = &*next;
    }
    std::optional<MatrixF32> written;
    if (accumulates(weights[i])) {
      auto zeroed = MatrixF32::try_zeroed(n, width);
      if (!zeroed) return std::move(zeroed).error();
      written.emplace(std::move(zeroed).value());
      output.accumulator = &*written;
      output.weight = static_cast<float>(weights[i]);
      output.mode = AccumulateMode::store;
    }
    propagate(*transition_, current, output);
    if (progress != nullptr) progress->step();
    if (written) {
      if (auto status = emitted(term++, std::move(*written)); !status) return status;
    }
    if (i < span.last) std::swap(current, *next);
  }
  return Status::ok();
}

namespace {

// Block columns [0, block.cols) into columns [first, first + block.cols) of
// `out`, rows on the worker pool (each row written by one task).
void copy_block(const MatrixF32& block, const StridedOutput& out, std::uint64_t first) {
  const std::uint64_t width = block.cols;
  if (width == 0) return;
  const bool unit = out.col_stride == std::int64_t(sizeof(float));
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      char* row = out.data + std::int64_t(r) * out.row_stride + std::int64_t(first) * out.col_stride;
      const float* src = block.row(r);
      if (unit) {
        std::memcpy(row, src, width * sizeof(float));
      } else {
        for (std::uint64_t c = 0; c < width; ++c)
          std::memcpy(row + std::int64_t(c) * out.col_stride, src + c, sizeof(float));
      }
    }
  };
  for_row_ranges(block.rows, block.rows * width, RangeBody(body));
}

class StridedSink final : public ColumnSink {
 public:
  explicit StridedSink(const StridedOutput& out) : out_(out) {}
  void write(MatrixF32&& block, std::uint64_t first) override {
    MatrixF32 owned = std::move(block);  // released on return
    copy_block(owned, out_, first);
  }

 private:
  const StridedOutput& out_;
};

// Columns [lo, hi) of one direction's columns, written from column
// `offset` of the fitted range.
struct Piece {
  Direction direction;
  std::uint64_t lo, hi, offset;
};

// The per-direction pieces of [start, stop), `dim` columns per direction.
// For Direction::both the out half holds columns [0, dim) and the in half
// [dim, 2 * dim) (each its terms side by side for Combine::concat); an empty range
// is one empty piece (its fit still checks X0's arguments).
std::vector<Piece> pieces_of(const FitOptions& options, std::uint64_t dim, std::uint64_t start, std::uint64_t stop) {
  if (options.direction != Direction::both) return {Piece{options.direction, start, stop, 0}};
  std::vector<Piece> pieces;
  if (start < dim || stop <= dim) pieces.push_back({Direction::out, std::min(start, dim), std::min(stop, dim), 0});
  if (stop > dim) {
    const std::uint64_t lo = std::max(start, dim) - dim;
    pieces.push_back({Direction::in, lo, stop - dim, std::max(start, dim) - start});
  }
  return pieces;
}

// The columns of X0 chained for columns [lo, hi) of one direction's terms
// side by side (dim each): a range inside one term needs only its own
// columns, one across terms (or any with l2, which couples a row's
// columns) all dim.
std::pair<std::uint64_t, std::uint64_t> chained_columns(std::uint64_t dim, std::uint64_t lo, std::uint64_t hi,
                                                        bool normalize) {
  if (lo == hi) return {0, 0};
  const std::uint64_t term = lo / dim;
  if (normalize || term != (hi - 1) / dim) return {0, dim};
  return {lo - term * dim, hi - term * dim};
}

// Columns [first, first + cols) of `matrix` as a matrix of their own.
Expected<MatrixF32> column_slice(const MatrixF32& matrix, std::uint64_t first, std::uint64_t cols) {
  auto sliced = MatrixF32::try_zeroed(matrix.rows, cols);
  if (!sliced) return sliced;
  for (std::uint64_t r = 0; r < matrix.rows; ++r)
    std::memcpy(sliced.value().row(r), matrix.row(r) + first, cols * sizeof(float));
  return sliced;
}

// One direction's piece of a Combine::concat fit: chains of `block_columns`
// columns of X0, each writing its columns of every term inside the piece.
Status fit_terms_into(const PreparedFit& plan, const Piece& piece, std::uint64_t dim, std::uint64_t chain_lo,
                      std::uint64_t chain_hi, std::uint64_t block_columns, PreparedFit::Progress& progress,
                      ColumnSink& sink) {
  std::uint64_t lo = chain_lo;
  do {
    const std::uint64_t hi = lo + std::min(block_columns, chain_hi - lo);
    auto emit = [&](std::uint64_t term, MatrixF32&& matrix) -> Status {
      // The term's columns [lo, hi) are columns [base + lo, base + hi) of
      // the direction; only those inside the piece are written.
      const std::uint64_t from = std::max(term * dim + lo, piece.lo);
      const std::uint64_t to = std::min(term * dim + hi, piece.hi);
      if (from >= to) return Status::ok();
      const std::uint64_t first = piece.offset + (from - piece.lo);
      if (to - from == matrix.cols) {
        sink.write(std::move(matrix), first);
        return Status::ok();
      }
      auto sliced = column_slice(matrix, from - (term * dim + lo), to - from);
      if (!sliced) return std::move(sliced).error();
      matrix = MatrixF32{};
      sink.write(std::move(sliced).value(), first);
      return Status::ok();
    };
    if (auto status = plan.fit_terms(lo, hi, &progress, emit); !status) return status;
    lo = hi;
  } while (lo < chain_hi);
  return Status::ok();
}

}  // namespace

Status fit_into(const CsrGraph& graph, const FitParams& params, const FitOptions& options,
                std::uint64_t block_columns, ColumnSink& sink) {
  const std::uint64_t total = total_columns(params, options);
  const std::uint64_t start = options.column_start.value_or(0);
  const std::uint64_t stop = options.column_stop.value_or(total);
  fault_unless(start <= stop && stop <= total, "fit_into: column range outside the embedding");
  fault_unless(block_columns > 0, "fit_into: blocks of no columns");
  const bool both = options.direction == Direction::both;
  const bool concat = options.combine == Combine::concat;
  const std::uint64_t width = stop - start;
  std::optional<std::uint64_t> seed = params.seed;
  if (!seed && (both || concat || width > block_columns)) seed = thread_rng().next_u64();
  const std::vector<Piece> pieces = pieces_of(options, direction_columns(params, options), start, stop);
  // Progress: each block's steps (its X0 and propagations) and its writes
  // (one per block; one per term of a concat chain).
  const WeightSpan span = span_of(params.weights);
  const std::uint64_t propagations = span.any ? span.last : 0;
  PreparedFit::Progress progress;
  auto blocks_of = [&](std::uint64_t lo, std::uint64_t hi, std::uint64_t block) {
    return hi == lo ? std::uint64_t{1} : (hi - lo - 1) / block + 1;
  };
  for (const Piece& piece : pieces) {
    if (concat) {
      const auto [lo, hi] = chained_columns(params.dim, piece.lo, piece.hi, options.normalize);
      const std::uint64_t block = options.normalize ? std::max<std::uint64_t>(hi - lo, 1) : block_columns;
      progress.total += blocks_of(lo, hi, block) * (1 + propagations + count_terms(params.weights));
    } else {
      progress.total += blocks_of(piece.lo, piece.hi, block_columns) * (2 + propagations);
    }
  }
  for (const Piece& piece : pieces) {
    FitOptions piece_options = options;
    piece_options.direction = piece.direction;
    // The columns one propagation chain carries.
    const auto [chain_lo, chain_hi] =
        concat ? chained_columns(params.dim, piece.lo, piece.hi, options.normalize) : std::pair{piece.lo, piece.hi};
    const std::uint64_t carried =
        concat && options.normalize ? chain_hi - chain_lo : std::min(block_columns, chain_hi - chain_lo);
    auto prepared = PreparedFit::prepare(graph, params, piece_options, carried);
    if (!prepared) return std::move(prepared).error();
    PreparedFit& plan = prepared.value();
    // Unsigned arithmetic wraps: the in-half's seed is s + offset mod 2^64.
    if (seed) plan.seed_ = both && piece.direction == Direction::in ? *seed + DIRECTION_SEED_OFFSET : *seed;
    check_point();
    if (concat) {
      const auto [lo, hi] = chained_columns(params.dim, piece.lo, piece.hi, options.normalize);
      // l2 needs whole rows of X(i): one chain of all dim columns.
      const std::uint64_t block = options.normalize ? std::max<std::uint64_t>(hi - lo, 1) : block_columns;
      if (auto status = fit_terms_into(plan, piece, params.dim, lo, hi, block, progress, sink); !status)
        return status;
      continue;
    }
    // A range of no columns is still one (empty) block, for the checks of X0.
    std::uint64_t lo = piece.lo;
    do {
      const std::uint64_t hi = lo + std::min(block_columns, piece.hi - lo);
      auto block = plan.fit_columns(lo, hi, &progress);
      if (!block) return std::move(block).error();
      sink.write(std::move(block).value(), piece.offset + (lo - piece.lo));
      progress.step();
      lo = hi;
    } while (lo < piece.hi);
  }
  return Status::ok();
}

Status fit_into(const CsrGraph& graph, const FitParams& params, const FitOptions& options,
                std::uint64_t block_columns, const StridedOutput& out) {
  const std::uint64_t total = total_columns(params, options);
  const std::uint64_t width = options.column_stop.value_or(total) - options.column_start.value_or(0);
  fault_unless(out.rows == graph.num_nodes && out.cols == width, "fit_into: output shape does not match");
  StridedSink sink(out);
  return fit_into(graph, params, options, block_columns, sink);
}

}  // namespace graphripple
