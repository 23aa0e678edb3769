// _native_ext's row-block functions, in Python terms:
//
//     row_block_transition(node_ids, sources, targets, weights, first, count,
//                          undirected, direction, edge_weight)
//         -> (row_ptrs int64[count + 1], columns int64, scales float32,
//             refusal)
//     row_block_start(first_row, rows, dim, seed, node_features,
//                     feature_weight, row_ptrs, degree_exponent)
//         -> float32[rows, dim]
//     row_block_propagate(row_ptrs, columns, scales, sources, next,
//                         accumulator, weight, mode, deferred_weight,
//                         normalize) -> None
//
// node_ids are the block graph's nodes (ascending); sources and targets are
// indices into them, edges in input order. refusal is None, or
// (source id, target id, message) for the first edge that
// edge_weight="log1p" refuses, which the caller compares across blocks.
// row_block_propagate writes the block's rows of T * X into `next` and/or
// accumulates them, times weight, into `accumulator`: mode 0 adds, 1
// stores (the accumulator is not read), 2 stores them added to the block's
// own rows of X times deferred_weight (a first accumulation deferred to the
// last propagation); X's rows are those of the `sources` arrays one after
// the other (the block's own rows first, then the rows from each peer), so
// received rows are read where they arrived, never copied together. Arrays must be aligned and
// C-contiguous with the dtypes above (node_ids, sources, targets, row_ptrs,
// columns: int64; weights, node_features: float64); bad arrays are
// TypeError or ValueError naming the argument. The work runs without the
// interpreter lock; row_block_propagate polls for signals meanwhile, as
// fit_csr_ext does, so Ctrl-C stops a propagation of a large block (the
// KeyboardInterrupt is raised from the call, `next` and `accumulator` left
// partly written).
#include "module/ext/partition_ext.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <tuple>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "algorithm/edge_weights.h"
#include "algorithm/kernels.h"
#include "algorithm/row_block.h"
#include "module/errors.h"
#include "module/ext/array_argument.h"
#include "module/ext/python_monitor.h"
#include "module/interpreter_lock.h"
#include "module/numpy_api.h"
#include "module/result_array.h"

namespace graphripple::py {

namespace {

// A buffer view of one array argument, released with the lock held.
bool check_choice(int value, int limit, const char* name) {
  if (value >= 0 && value < limit) return true;
  PyErr_Format(PyExc_ValueError, "%s must be between 0 and %d, not %d", name, limit - 1, value);
  return false;
}

// Every column index below `rows`, and row_ptrs a valid start list for them.
bool check_rows(const ArrayArgument& row_ptrs, const ArrayArgument& columns, const ArrayArgument& scales,
                std::uint64_t rows) {
  const auto ptrs = row_ptrs.words();
  const auto cols = columns.words();
  if (ptrs.empty() || ptrs.front() != 0 || ptrs.back() != cols.size() || scales.length() != cols.size()) {
    PyErr_SetString(PyExc_ValueError, "row_ptrs, columns and scales do not describe one block of rows");
    return false;
  }
  for (std::size_t i = 1; i < ptrs.size(); ++i)
    if (ptrs[i] < ptrs[i - 1]) {
      PyErr_SetString(PyExc_ValueError, "row_ptrs must not decrease");
      return false;
    }
  for (std::uint64_t c : cols)
    if (c >= rows) {
      PyErr_Format(PyExc_ValueError, "columns must index the %llu rows of source", (unsigned long long)rows);
      return false;
    }
  return true;
}

struct Refusal {
  std::uint64_t source, target;
  std::string text;
};
using TransitionOutcome = std::variant<RowBlockTransition, EmbeddingError, Refusal>;

PyObject* row_block_transition_body(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"node_ids", "sources", "targets", "weights", "first", "count",
                                "undirected", "direction", "edge_weight", nullptr};
  PyObject *ids_object, *sources_object, *targets_object, *weights_object;
  unsigned long long first = 0, count = 0;
  int undirected = 1, direction = 0, edge_weight = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOKK|pii:row_block_transition", const_cast<char**>(names),
                                   &ids_object, &sources_object, &targets_object, &weights_object, &first, &count,
                                   &undirected, &direction, &edge_weight))
    return nullptr;
  if (!check_choice(direction, 2, "direction") || !check_choice(edge_weight, 3, "edge_weight")) return nullptr;
  ArrayArgument ids, sources, targets, weights;
  if (!ids.acquire(ids_object, "node_ids", 'i', 1, false) || !sources.acquire(sources_object, "sources", 'i', 1, false) ||
      !targets.acquire(targets_object, "targets", 'i', 1, false) ||
      !weights.acquire(weights_object, "weights", 'd', 1, false))
    return nullptr;
  const std::uint64_t gathered = ids.length();
  if (sources.length() != targets.length() || sources.length() != weights.length()) {
    PyErr_SetString(PyExc_ValueError, "sources, targets and weights must have the same length");
    return nullptr;
  }
  if (first > gathered || count > gathered - first) {
    PyErr_SetString(PyExc_ValueError, "first and count must name rows of the block graph");
    return nullptr;
  }
  for (auto* array : {&sources, &targets})
    for (std::uint64_t v : array->words())
      if (v >= gathered) {
        PyErr_SetString(PyExc_ValueError, "sources and targets must index node_ids");
        return nullptr;
      }

  std::optional<TransitionOutcome> outcome;
  {
    InterpreterUnlocked unlocked;
    auto graph = row_block_graph(gathered, sources.words(), targets.words(),
                                 std::span<const double>(weights.data<const double>(), weights.length()));
    if (!graph) {
      outcome.emplace(std::move(graph).error());
    } else {
      const auto kind = static_cast<EdgeWeight>(edge_weight);
      const std::uint64_t* node_ids = ids.data<const std::uint64_t>();
      std::optional<std::uint64_t> refused;
      if (kind == EdgeWeight::log1p) refused = first_log1p_refusal(*graph);
      if (refused) {
        const auto& row_ptrs = graph->row_ptrs;
        const std::uint64_t row = std::uint64_t(std::upper_bound(row_ptrs.begin(), row_ptrs.end(), *refused) -
                                                row_ptrs.begin()) - 1;
        auto text = transform_edge_weights(*graph, kind, node_ids);
        outcome.emplace(Refusal{node_ids[row], node_ids[graph->col_indices[*refused]], text.value_or("")});
      } else {
        transform_edge_weights(*graph, kind, node_ids);
        auto block = row_block_transition(*graph, first, count, undirected != 0,
                                          direction == 0 ? Direction::out : Direction::in);
        if (block) {
          outcome.emplace(std::move(block).value());
        } else {
          outcome.emplace(std::move(block).error());
        }
      }
    }
  }
  if (auto* error = std::get_if<EmbeddingError>(&*outcome)) {
    raise_embedding_error(*error);
    return nullptr;
  }
  if (auto* refusal = std::get_if<Refusal>(&*outcome)) {
    return Py_BuildValue("(OOO(KKs))", Py_None, Py_None, Py_None, (unsigned long long)refusal->source,
                         (unsigned long long)refusal->target, refusal->text.c_str());
  }
  const RowBlockTransition& block = std::get<RowBlockTransition>(*outcome);
  PyRef row_ptrs = PyRef::steal(new_vector(NPY_INT64, block.row_ptrs.size(), block.row_ptrs.data(), 8));
  if (!row_ptrs) return nullptr;
  PyRef columns = PyRef::steal(new_vector(NPY_INT64, block.columns.size(), block.columns.data(), 8));
  if (!columns) return nullptr;
  PyRef scales = PyRef::steal(new_vector(NPY_FLOAT32, block.scales.size(), block.scales.data(), 4));
  if (!scales) return nullptr;
  return PyTuple_Pack(4, row_ptrs.get(), columns.get(), scales.get(), Py_None);
}

PyObject* row_block_start_body(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"first_row", "rows", "dim", "seed", "node_features", "feature_weight",
                                "row_ptrs", "degree_exponent", nullptr};
  unsigned long long first_row = 0, rows = 0, dim = 0, seed = 0;
  PyObject* features_object = Py_None;
  PyObject* row_ptrs_object = Py_None;
  double feature_weight = 1.0, degree_exponent = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "KKKK|OdOd:row_block_start", const_cast<char**>(names),
                                   &first_row, &rows, &dim, &seed, &features_object, &feature_weight,
                                   &row_ptrs_object, &degree_exponent))
    return nullptr;
  ArrayArgument features, row_ptrs;
  std::optional<MatrixViewF64> view;
  if (features_object != Py_None) {
    if (!features.acquire(features_object, "node_features", 'd', 2, false)) return nullptr;
    view = MatrixViewF64{features.data<const double>(), features.extent(0), features.extent(1),
                         std::int64_t(features.extent(1)), 1};
  }
  const std::uint64_t* degrees = nullptr;
  if (row_ptrs_object != Py_None) {
    if (!row_ptrs.acquire(row_ptrs_object, "row_ptrs", 'i', 1, false)) return nullptr;
    if (row_ptrs.length() != rows + 1) {
      PyErr_SetString(PyExc_ValueError, "row_ptrs must hold rows + 1 row starts");
      return nullptr;
    }
    const auto words = row_ptrs.words();
    for (std::size_t i = 1; i < words.size(); ++i)
      if (words[i] < words[i - 1]) {
        PyErr_SetString(PyExc_ValueError, "row_ptrs must not decrease");
        return nullptr;
      }
    degrees = words.data();
  }
  if (degree_exponent != 0.0 && degrees == nullptr) {
    PyErr_SetString(PyExc_ValueError, "degree_exponent needs row_ptrs");
    return nullptr;
  }
  std::optional<Expected<MatrixF32>> start;
  {
    InterpreterUnlocked unlocked;
    start.emplace(row_block_start(first_row, rows, dim, seed, view ? &*view : nullptr, feature_weight, degrees,
                                  degree_exponent));
  }
  if (!*start) {
    raise_embedding_error(start->error());
    return nullptr;
  }
  return wrap_matrix(std::move(*start).value());
}

PyObject* row_block_propagate_body(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"row_ptrs", "columns", "scales", "sources", "next", "accumulator",
                                "weight", "mode", "deferred_weight", "normalize", nullptr};
  PyObject *ptrs_object, *columns_object, *scales_object, *sources_object;
  PyObject* next_object = Py_None;
  PyObject* acc_object = Py_None;
  double weight = 0.0, deferred_weight = 0.0;
  int mode = 0, normalize = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOdidp:row_block_propagate", const_cast<char**>(names),
                                   &ptrs_object, &columns_object, &scales_object, &sources_object, &next_object,
                                   &acc_object, &weight, &mode, &deferred_weight, &normalize))
    return nullptr;
  if (!check_choice(mode, 3, "mode")) return nullptr;
  ArrayArgument ptrs, columns, scales, next, acc;
  if (!ptrs.acquire(ptrs_object, "row_ptrs", 'i', 1, false) ||
      !columns.acquire(columns_object, "columns", 'i', 1, false) ||
      !scales.acquire(scales_object, "scales", 'f', 1, false))
    return nullptr;
  const std::uint64_t rows = ptrs.length() == 0 ? 0 : ptrs.length() - 1;
  PyRef sequence = PyRef::steal(PySequence_Fast(sources_object, "sources must be a list of float32 arrays"));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError, "sources must hold at least the block's own rows");
    return nullptr;
  }
  // Views of every source array, held until the propagation is done.
  std::vector<std::unique_ptr<ArrayArgument>> sources;
  std::vector<const float*> source_rows;
  std::uint64_t dim = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    sources.push_back(std::make_unique<ArrayArgument>());
    ArrayArgument& source = *sources.back();
    if (!source.acquire(PySequence_Fast_GET_ITEM(sequence.get(), i), "sources[i]", 'f', 2, false)) return nullptr;
    if (i == 0) dim = source.extent(1);
    if (source.extent(1) != dim) {
      PyErr_SetString(PyExc_ValueError, "sources must all have the same number of columns");
      return nullptr;
    }
    for (std::uint64_t r = 0; r < source.extent(0); ++r) source_rows.push_back(source.data<const float>() + r * dim);
  }
  if (sources.front()->extent(0) != rows) {
    PyErr_SetString(PyExc_ValueError, "sources[0] must hold the block's own rows");
    return nullptr;
  }
  if (!check_rows(ptrs, columns, scales, source_rows.size())) return nullptr;
  using Output = std::tuple<PyObject*, ArrayArgument*, const char*>;
  for (auto [object, target, name] : {Output{next_object, &next, "next"}, Output{acc_object, &acc, "accumulator"}}) {
    if (object == Py_None) continue;
    if (!target->acquire(object, name, 'f', 2, true)) return nullptr;
    if (target->extent(0) != rows || target->extent(1) != dim) {
      PyErr_Format(PyExc_ValueError, "%s must have shape (%llu, %llu)", name, (unsigned long long)rows,
                   (unsigned long long)dim);
      return nullptr;
    }
    const char* at = target->data<const char>();
    for (const auto& source : sources) {
      const char* lo = source->data<const char>();
      if (rows > 0 && dim > 0 && at < lo + source->length() * 4 && lo < at + rows * dim * 4) {
        PyErr_Format(PyExc_ValueError, "%s must not overlap the sources", name);
        return nullptr;
      }
    }
  }
  try {
    InterpreterUnlocked unlocked;
    PythonMonitor monitor(unlocked, nullptr);
    MonitorScope monitored(&monitor);
    TransitionMatrix transition;
    transition.row_ptrs = ptrs.data<const std::uint64_t>();
    transition.num_nodes = rows;
    transition.wide_cols = columns.data<const std::uint64_t>();
    transition.scales.assign(scales.data<const float>(), scales.data<const float>() + scales.length());
    RowBlockOutput output;
    output.next = next_object != Py_None ? next.data<float>() : nullptr;
    output.accumulator = acc_object != Py_None ? acc.data<float>() : nullptr;
    output.weight = static_cast<float>(weight);
    output.mode = static_cast<AccumulateMode>(mode);
    // The deferred term is the block's own rows of the matrix propagated.
    output.deferred = sources.front()->data<const float>();
    output.deferred_weight = static_cast<float>(deferred_weight);
    output.normalize = normalize != 0;
    propagate_block(transition, source_rows, dim, output);
  } catch (const FitCancelled&) {
    // The signal handler's exception is pending; the lock is held again.
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* row_block_transition_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_native([&] { return row_block_transition_body(args, kwargs); });
}
PyObject* row_block_start_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_native([&] { return row_block_start_body(args, kwargs); });
}
PyObject* row_block_propagate_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_native([&] { return row_block_propagate_body(args, kwargs); });
}

PyMethodDef g_definitions[] = {
    {"row_block_transition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_block_transition_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "row_block_transition(node_ids, sources, targets, weights, first, count, undirected=True, direction=0, "
     "edge_weight=0)\n--\n\nA row block's rows of the transition, built from the edges around it."},
    {"row_block_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_block_start_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "row_block_start(first_row, rows, dim, seed, node_features=None, feature_weight=1.0, row_ptrs=None, "
     "degree_exponent=0.0)\n--\n\nA row block's rows of the starting matrix."},
    {"row_block_propagate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_block_propagate_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "row_block_propagate(row_ptrs, columns, scales, sources, next=None, accumulator=None, weight=0.0, "
     "mode=0, deferred_weight=0.0, normalize=False)\n--\n\nA row block's rows of one propagation over its gathered rows."},
};

}  // namespace

std::span<PyMethodDef> partition_entry_point_definitions() { return g_definitions; }

}  // namespace graphripple::py
