// fit: the engine's one entry point.
//
// result = w0 * X0 + w1 * T X0 + ... + w(L-1) * T^(L-1) X0, with T the
// row-normalised transition matrix of the graph (or of A + A^T when
// undirected) and X0 the starting matrix. Bitwise identical for a given seed
// on any number of worker threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "algorithm/dense_matrix.h"
#include "algorithm/kernels.h"
#include "algorithm/fit_options.h"
#include "algorithm/fit_params.h"
#include "algorithm/locality_order.h"
#include "csr/csr_graph.h"
#include "error/expected.h"

namespace graphripple {

/// Every fit below can be stopped and watched through the calling thread's
/// FitMonitor (pool/fit_monitor.h): it then throws FitCancelled once a stop
/// is asked for, with every buffer it made released.

/// The n x dim embedding of `graph` (read only), or the first error.
Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params);

/// The same fit with the extended options: columns [start, stop) of the
/// result (n x (stop - start)), row normalisation, degree scaling of X0 and
/// the propagation direction of a directed fit. With default options the
/// bytes are those of fit(graph, params). Direction::both gives the columns
/// of the out-fit (seed s) followed by those of the in-fit (seed
/// s + DIRECTION_SEED_OFFSET); without a seed one is drawn for both.
Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params, const FitOptions& options);

/// Scales starting row i by f32(deg(i) ** exponent), deg(i) being the
/// entries of the transition's row i; rows without entries are unchanged.
Status scale_by_degree(MatrixF32& x0, const TransitionMatrix& transition, double exponent);

/// The weights that make a term of the result (non-zero in the 64-bit
/// test: NaN counts, -0.0 does not): the column blocks of Combine::concat.
std::uint64_t count_terms(const std::vector<double>& weights);

/// Columns of one direction: dim, or dim * count_terms for Combine::concat.
std::uint64_t direction_columns(const FitParams& params, const FitOptions& options);

/// Columns of the whole embedding: direction_columns, twice for
/// Direction::both (that it fits in 2^62 is the caller's to check).
std::uint64_t total_columns(const FitParams& params, const FitOptions& options);

/// The n x width float32 matrices a fit with these weights holds at its
/// peak (the matrix plan in fit.cpp): 1, 2 or 3, width being the columns
/// of one block. For Combine::concat a block of b columns of the starting
/// matrix writes b columns of each term, one term matrix at a time.
unsigned work_matrices(const std::vector<double>& weights, Combine combine = Combine::sum);

/// A caller's float32 destination: rows x cols elements, element (r, c) at
/// data + r * row_stride + c * col_stride (strides in bytes, either sign,
/// not necessarily multiples of 4: elements are written with memcpy). The
/// elements must not overlap.
struct StridedOutput {
  char* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;
};

/// Where fit_into puts each finished block of columns.
class ColumnSink {
 public:
  virtual ~ColumnSink() = default;
  /// Takes `block` (n x block.cols), the columns [first, first + block.cols)
  /// of the fitted range. May throw; the exception leaves fit_into with
  /// every buffer released.
  virtual void write(MatrixF32&& block, std::uint64_t first) = 0;
};

/// The graph side of a fit, built once and shared by any number of column
/// blocks: the graph validated (with the errors of fit) and the transition
/// the weights and options need. Borrows the graph, the params and the
/// options, which must outlive it; the options' column range is not used.
class PreparedFit {
 public:
  /// `width`: the columns each propagation carries (a block's; default
  /// dim), which decides whether the locality order pays.
  static Expected<PreparedFit> prepare(const CsrGraph& graph, const FitParams& params, const FitOptions& options,
                                       std::optional<std::uint64_t> width = std::nullopt);

  /// Columns [start, stop) of the embedding (stop <= dim), with the bytes of
  /// fit() given the same column range. Only the block's own n x
  /// (stop - start) matrices are allocated. Reads the prepared state only,
  /// so a call never changes what a later one computes.
  Expected<MatrixF32> fit_columns(std::uint64_t start, std::uint64_t stop) const;

  /// Units of progress of one block: the starting matrix, then one per
  /// propagation (see FitMonitor::progress).
  std::uint64_t block_steps() const;

  /// Steps done of the whole fit, reported to the calling thread's monitor.
  struct Progress {
    std::uint64_t done = 0, total = 0;
    void step();
  };
  /// fit_columns counting its steps in `progress` (may be null).
  Expected<MatrixF32> fit_columns(std::uint64_t start, std::uint64_t stop, Progress* progress) const;

  /// Combine::concat: columns [start, stop) (stop <= dim) of every term in
  /// one propagation chain. Term k (the k-th non-zero weight w_i) is handed
  /// to `emit(k, matrix)` (whose error ends the chain) as soon as it is computed, as (X(i) * w_i) + 0.0f:
  /// the bytes fit_columns gives with w_i as the only non-zero weight. Holds
  /// at most work_matrices(weights, Combine::concat) matrices of the width.
  /// Steps: as fit_columns, plus one per term emitted.
  using TermSink = std::function<Status(std::uint64_t term, MatrixF32&& matrix)>;
  Status fit_terms(std::uint64_t start, std::uint64_t stop, Progress* progress, const TermSink& emit) const;

 private:
  /// Columns [start, stop) of X0 as every fit of this graph draws them, its
  /// rows in the locality order, scaled by degree when the options ask for
  /// it and some weight makes a term; one step counted in `progress`.
  Expected<MatrixF32> starting_columns(std::uint64_t start, std::uint64_t stop, Progress* progress) const;
  /// Where each row of the locality order goes in a result (null: no order).
  const std::uint64_t* result_rows() const { return order_ ? order_->old_of.data() : nullptr; }


  friend Status fit_into(const CsrGraph&, const FitParams&, const FitOptions&, std::uint64_t, ColumnSink&);
  PreparedFit(const CsrGraph& graph, const FitParams& params, const FitOptions& options)
      : graph_(&graph), params_(&params), options_(&options) {}

  const CsrGraph* graph_;
  const FitParams* params_;
  const FitOptions* options_;
  std::optional<TransitionMatrix> transition_;
  /// The rows' locality order when it pays (the transition is then
  /// renumbered by it); results always come back in the caller's rows.
  std::optional<RowOrder> order_;
  std::optional<std::uint64_t> seed_;  ///< drawn once for every block of an unseeded fit_into
};

/// Columns [start, stop) of the embedding (options.column_start/stop, or
/// all) fitted in consecutive blocks of `block_columns` columns over one
/// PreparedFit per direction (for Combine::concat: blocks of
/// `block_columns` columns of the starting matrix, each one propagation
/// chain writing its columns of every term the range touches; a range
/// inside one term chains only its own columns, a range across terms all
/// dim), each finished block handed to `sink` and
/// released before the next block is fitted. The bytes are those of one fit
/// of the whole range. For Direction::both the range (over 2 * dim columns)
/// is split into its out-piece and its in-piece, blocked separately, and
/// each piece's transition is released before the next is built. Without a
/// seed and with more than one block (or Direction::both), one seed is
/// drawn from the calling thread's generator for every block, so the blocks
/// belong to one embedding. On an error the blocks already fitted have been
/// written and the rest is not.
Status fit_into(const CsrGraph& graph, const FitParams& params, const FitOptions& options,
                std::uint64_t block_columns, ColumnSink& sink);

/// fit_into copying each block into its columns of `out` on the worker
/// pool (out.cols == stop - start, out.rows == n).
Status fit_into(const CsrGraph& graph, const FitParams& params, const FitOptions& options,
                std::uint64_t block_columns, const StridedOutput& out);

}  // namespace graphripple
