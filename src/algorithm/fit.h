// fit: the engine's one entry point.
//
// result = w0 * X0 + w1 * T X0 + ... + w(L-1) * T^(L-1) X0, with T the
// row-normalised transition matrix of the graph (or of A + A^T when
// undirected) and X0 the starting matrix. Bitwise identical for a given seed
// on any number of worker threads.
#pragma once

#include "algorithm/dense_matrix.h"
#include "algorithm/fit_options.h"
#include "algorithm/fit_params.h"
#include "csr/csr_graph.h"
#include "error/expected.h"

namespace graphripple {

/// The n x dim embedding of `graph` (read only), or the first error.
Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params);

/// The same fit with the extended options: columns [start, stop) of the
/// result (n x (stop - start)), row normalisation, degree scaling of X0 and
/// the propagation direction of a directed fit. With default options the
/// bytes are those of fit(graph, params).
Expected<MatrixF32> fit(const CsrGraph& graph, const FitParams& params, const FitOptions& options);

}  // namespace graphripple
