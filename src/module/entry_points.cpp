// fit_csr, fit_dense and fit_adj_list: bind, convert, copy, compute with
// the interpreter lock released, and wrap the result.
//
// In Python terms each function is
//
//     def fit_csr(row_ptrs, col_indices, values, num_nodes, dim, weights,
//                 seed=None, undirected=True, node_features=None,
//                 feature_weight=1.0):
//         # conversions in parameter order; a failure gets the note
//         # "while processing 'NAME'"
//         arrays = [int64_vector(row_ptrs), int64_vector(col_indices),
//                   float64_vector(values)]
//         num_nodes, dim = unsigned(num_nodes), unsigned(dim)
//         weights = float_sequence(weights)
//         seed = None if seed is None else unsigned(seed)
//         undirected, feature_weight = boolean(undirected), float(feature_weight)
//         node_features = None if node_features is None else float64_matrix(node_features)
//         for name, array in zip(NAMES, arrays):
//             require_contiguous(array, name)     # ValueError, no note
//         copies = [flat_copy(array) for array in arrays]
//         params = FitParams(dim, weights, seed, undirected, feature_weight,
//                            matrix_copy(node_features))
//         with lock_released():
//             graph = CsrGraph.from_csr(*copies, num_nodes)
//             matrix = fit(graph, params)         # EmbeddingError -> ValueError
//         return float32_array_over(matrix)       # no copy
//
// fit_dense takes adj_matrix (2-D float64, any strides, copied as a matrix)
// and builds with CsrGraph.from_dense; fit_adj_list takes adj_list (a
// sequence of sequences of (node id, weight) tuples) and iter_weights, and
// builds with CsrGraph.from_adj_list. Neither has a contiguity test.
#include "module/entry_points.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "algorithm/fit.h"
#include "module/array_input.h"
#include "module/binding.h"
#include "module/conversion.h"
#include "module/errors.h"
#include "module/interpreter_lock.h"
#include "module/result_array.h"
#include "module/settings.h"

namespace graphripple::py {

namespace {

// ---- Signatures -----------------------------------------------------------

constexpr const char* CSR_PARAMS[] = {"row_ptrs", "col_indices", "values",        "num_nodes",    "dim",
                                      "weights",  "seed",        "undirected",    "node_features", "feature_weight"};
constexpr const char* DENSE_PARAMS[] = {"adj_matrix", "dim", "weights", "seed", "undirected", "node_features",
                                        "feature_weight"};
constexpr const char* ADJ_LIST_PARAMS[] = {"adj_list",      "dim",           "iter_weights", "seed", "undirected",
                                           "node_features", "feature_weight"};

constexpr Signature CSR_SIGNATURE{"fit_csr", CSR_PARAMS, 6};
constexpr Signature DENSE_SIGNATURE{"fit_dense", DENSE_PARAMS, 3};
constexpr Signature ADJ_LIST_SIGNATURE{"fit_adj_list", ADJ_LIST_PARAMS, 3};

// ---- The computation -------------------------------------------------------

// Builds the graph and fits with the lock released, then wraps the result or
// raises the error with the lock held again.
template <class BuildGraph>
PyObject* compute(BuildGraph&& build_graph, const FitParams& params) {
  std::optional<Expected<MatrixF32>> outcome;
  {
    InterpreterUnlocked unlocked;
    Expected<CsrGraph> graph = build_graph();
    if (graph) {
      outcome.emplace(fit(*graph, params));
    } else {
      outcome.emplace(std::move(graph).error());
    }
  }  // the graph is released before the lock is taken back
  if (!*outcome) {
    raise_embedding_error(outcome->error());
    return nullptr;
  }
  return wrap_matrix(std::move(*outcome).value());
}

// Steps common to all three functions once the graph input is owned.
template <class BuildGraph>
PyObject* finish(Settings& settings, BuildGraph&& build_graph) {
  Expected<FitParams> params = build_params(settings);
  if (!params) {
    raise_embedding_error(params.error());
    return nullptr;
  }
  return compute(std::forward<BuildGraph>(build_graph), *params);
}

// ---- The three functions ---------------------------------------------------

PyObject* fit_csr_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, std::size(CSR_PARAMS)> slot{};
  if (!bind_arguments(CSR_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;

  CsrArguments csr;
  Settings settings;
  if (!convert_csr_arguments(slot, csr) ||
      !convert_settings(std::span(slot).last(SETTINGS_COUNT), "weights", settings))
    return nullptr;

  OwnedCsr owned;
  if (!copy_csr_arguments(csr, owned)) return nullptr;

  return finish(settings, [&] {
    return CsrGraph::from_csr(std::move(owned.row_ptrs), std::move(owned.col_indices), std::move(owned.values),
                              csr.num_nodes);
  });
}

PyObject* fit_dense_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, std::size(DENSE_PARAMS)> slot{};
  if (!bind_arguments(DENSE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;

  PyRef adj_matrix;
  Settings settings;
  if (!noted(convert_float64_matrix(slot[0], adj_matrix), "adj_matrix") ||
      !convert_settings(std::span(slot).last(SETTINGS_COUNT), "weights", settings))
    return nullptr;

  Expected<MatrixF64> matrix = copy_matrix(adj_matrix.get());
  if (!matrix) {
    raise_embedding_error(matrix.error());
    return nullptr;
  }
  return finish(settings, [&] { return CsrGraph::from_dense(matrix->view()); });
}

PyObject* fit_adj_list_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, std::size(ADJ_LIST_PARAMS)> slot{};
  if (!bind_arguments(ADJ_LIST_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;

  AdjacencyList adj_list;
  Settings settings;
  if (!noted(convert_adjacency_list(slot[0], adj_list), "adj_list") ||
      !convert_settings(std::span(slot).last(SETTINGS_COUNT), "iter_weights", settings))
    return nullptr;

  return finish(settings, [&] { return CsrGraph::from_adj_list(std::move(adj_list)); });
}

PyObject* fit_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_native([&] { return fit_csr_body(args, nargs, kwnames); });
}
PyObject* fit_dense(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_native([&] { return fit_dense_body(args, nargs, kwnames); });
}
PyObject* fit_adj_list(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_native([&] { return fit_adj_list_body(args, nargs, kwnames); });
}

// The docstrings hold only the signature line and the "--" separator, so the
// interpreter exposes __text_signature__ and reports __doc__ as None.
PyMethodDef g_definitions[] = {
    {"fit_dense", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_dense)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_dense(adj_matrix, dim, weights, seed=None, undirected=True, node_features=None, "
     "feature_weight=1.0)\n--\n\n"},
    {"fit_csr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_csr)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_csr(row_ptrs, col_indices, values, num_nodes, dim, weights, seed=None, undirected=True, "
     "node_features=None, feature_weight=1.0)\n--\n\n"},
    {"fit_adj_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_adj_list)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_adj_list(adj_list, dim, iter_weights, seed=None, undirected=True, node_features=None, "
     "feature_weight=1.0)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> entry_point_definitions() { return g_definitions; }

}  // namespace graphripple::py
