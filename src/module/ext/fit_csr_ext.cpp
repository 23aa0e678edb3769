// fit_csr_ext: fit_csr with column blocks, row normalisation, degree
// scaling, edge-weight transforms, the in- and both-directions, Ctrl-C and
// progress reports.
//
// In Python terms:
//
//     def fit_csr_ext(row_ptrs, col_indices, values, num_nodes, dim, weights,
//                     *, seed=None, undirected=True, node_features=None,
//                     feature_weight=1.0, columns=None, normalization=None,
//                     degree_exponent=0.0, edge_weight="raw", direction="out",
//                     out=None, block_columns=None, progress=None,
//                     combine="sum", row_order="auto"):
//         # the shared arguments exactly as fit_csr converts them, then
//         check combine in ("sum", "concat")               # ValueError
//         terms = count of weights != 0.0 (NaN counts)
//         per = dim * terms if combine == "concat" else dim
//         total = 2 * per if direction == "both" else per  # at most 2**62
//         start, stop = (0, total) if columns is None else columns
//         check 0 <= start <= stop <= total                # ValueError
//         check normalization in (None, "l2")              # ValueError
//         degree_exponent = float(degree_exponent); check finite
//         check edge_weight in ("raw", "binary", "log1p")  # ValueError
//         check direction in ("out", "in", "both")         # ValueError
//         check row_order in ("auto", "stored", "locality")  # ValueError
//             (the order rows are propagated in; never the bytes)
//         check not (direction != "out" and undirected)    # ValueError
//         check not normalization or start and stop are multiples of dim
//             (whole directions; whole terms for "concat")
//         block_columns: None or an integer >= 1       # TypeError / ValueError
//         check out is given when block_columns is     # ValueError
//         check not (normalization and block_columns < min(dim, stop - start))
//         # "concat": block_columns counts columns of X0 per propagation
//         # chain; each chain writes those columns of every term
//         out: None, a writable float32 buffer of shape (num_nodes,
//              stop - start) with any strides, or an array-like of that shape
//              and dtype with __setitem__             # TypeError / ValueError
//         progress: None or a callable                 # TypeError
//         contiguity tests and copies as fit_csr
//         with lock_released(), watched(signals, progress):
//             graph = CsrGraph.from_csr(...)
//             transform_edge_weights(graph, edge_weight)  # ValueError on log1p refusal
//             if out is None:
//                 matrix = fit(graph, params, options)
//             else:
//                 fit_into(graph, params, options, block_columns, out)
//         return out if out is given else float32_array_over(matrix)
//
// With every option at its default the bytes are those of fit_csr. With
// `out`, the graph is validated and its transition built once per
// direction, and the column blocks are fitted one after the other over it,
// each copied into `out` (still without the lock, or through __setitem__
// with the lock for an array-like) before the next one is allocated. The
// lock-free copy is safe because the call holds a reference to `out` and
// a writable buffer view of it for its whole duration (a NumPy array
// cannot be resized while exported), and a view of the object at the end
// of its `base` chain when that exports a buffer, so that a memory map
// under the array cannot be closed while its pages are written.
//
// While the fit runs, the calling thread checks for signals (PythonMonitor):
// a handler that raises stops the fit, and its exception (KeyboardInterrupt)
// is raised from the call once every buffer of the fit is released. The
// blocks finished before then stay written in `out`.
#include "module/ext/fit_csr_ext.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "algorithm/edge_weights.h"
#include "algorithm/fit.h"
#include "module/array_input.h"
#include "module/binding.h"
#include "module/conversion.h"
#include "module/errors.h"
#include "module/ext/out_target.h"
#include "module/ext/python_monitor.h"
#include "module/interpreter_lock.h"
#include "module/numpy_api.h"
#include "module/result_array.h"
#include "module/settings.h"

namespace graphripple::py {

namespace {

constexpr const char* PARAMS[] = {"row_ptrs",      "col_indices",   "values",        "num_nodes",
                                  "dim",           "weights",       "seed",          "undirected",
                                  "node_features", "feature_weight", "columns",      "normalization",
                                  "degree_exponent", "edge_weight", "direction", "out",
                                  "block_columns", "progress", "combine", "row_order"};
constexpr Signature SIGNATURE{"fit_csr_ext", PARAMS, 6};
// Parameters after weights are keyword-only.
constexpr std::size_t POSITIONAL = 6;
constexpr std::size_t COLUMNS = 10;
constexpr std::size_t OUT = 15;
constexpr std::size_t BLOCK_COLUMNS = 16;
constexpr std::size_t PROGRESS = 17;
constexpr std::size_t COMBINE = 18;
constexpr std::size_t ROW_ORDER = 19;

// ValueError "NAME must be WHAT, not REPR".
bool refuse_value(const char* name, const char* what, PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Repr(object));
  if (!text) return false;
  PyErr_Format(PyExc_ValueError, "%s must be %s, not %U", name, what, text.get());
  return false;
}

// One of `choices` (exact str), or the ValueError; nullptr and absent both
// give the first choice.
bool convert_choice(PyObject* object, const char* name, const char* what,
                    std::initializer_list<const char*> choices, std::size_t& out) {
  out = 0;
  if (object == nullptr) return true;
  if (PyUnicode_Check(object)) {
    std::size_t i = 0;
    for (const char* choice : choices) {
      if (PyUnicode_CompareWithASCIIString(object, choice) == 0) {
        out = i;
        return true;
      }
      ++i;
    }
  }
  return refuse_value(name, what, object);
}

// `total`: the embedding's columns, dim or (with direction='both') 2 * dim.
bool convert_columns(PyObject* object, std::uint64_t total, bool both, bool concat,
                     std::optional<std::uint64_t>& start, std::optional<std::uint64_t>& stop) {
  if (object == nullptr || object == Py_None) return true;
  const char* what = concat ? (both ? "None or a pair (start, stop) of integers with 0 <= start <= stop <= "
                                      "2 * dim * terms (direction='both', combine='concat')"
                                    : "None or a pair (start, stop) of integers with 0 <= start <= stop <= "
                                      "dim * terms (combine='concat')")
                   : both ? "None or a pair (start, stop) of integers with 0 <= start <= stop <= 2 * dim "
                            "(direction='both')"
                          : "None or a pair (start, stop) of integers with 0 <= start <= stop <= dim";
  if (!(PyTuple_Check(object) || PyList_Check(object)) || PySequence_Size(object) != 2)
    return refuse_value("columns", what, object);
  std::uint64_t bounds[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item) return false;
    if (PyBool_Check(item.get())) return refuse_value("columns", what, object);
    PyRef index = PyRef::steal(PyNumber_Index(item.get()));
    if (!index) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      return refuse_value("columns", what, object);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || std::uint64_t(value) > total) return refuse_value("columns", what, object);
    bounds[i] = std::uint64_t(value);
  }
  if (bounds[0] > bounds[1]) return refuse_value("columns", what, object);
  start = bounds[0];
  stop = bounds[1];
  return true;
}

struct ExtOptions {
  FitOptions fit;
  EdgeWeight edge_weight = EdgeWeight::raw;
};

// Converts columns to direction (slots 10 to 14) and combine and checks
// how they go with the shared settings. The direction and the combination
// are read first, since they decide how many columns `columns` indexes.
bool convert_options(std::span<PyObject* const> slot, const Settings& settings, ExtOptions& out) {
  std::size_t combine = 0;
  if (!convert_choice(slot[COMBINE], "combine", "'sum' or 'concat'", {"sum", "concat"}, combine)) return false;
  const bool concat = combine == 1;
  out.fit.combine = concat ? Combine::concat : Combine::sum;
  PyObject* direction_object = slot[COLUMNS + 4];
  const bool both = direction_object != nullptr && PyUnicode_Check(direction_object) &&
                    PyUnicode_CompareWithASCIIString(direction_object, "both") == 0;
  const std::uint64_t terms = concat ? count_terms(settings.weights) : 1;
  const std::uint64_t copies = terms * (both ? 2 : 1);
  if (copies > 1 && settings.dim > (std::uint64_t{1} << 62) / copies) {
    PyErr_SetString(PyExc_ValueError, concat ? "dim * terms (x 2 with direction='both') must be at most 2**62 "
                                               "with combine='concat'"
                                             : "dim must be at most 2**62 with direction='both' (2 * dim columns)");
    return false;
  }
  const std::uint64_t total = settings.dim * copies;
  if (!convert_columns(slot[COLUMNS], total, both, concat, out.fit.column_start, out.fit.column_stop))
    return false;

  PyObject* normalization = slot[COLUMNS + 1];
  if (normalization != nullptr && normalization != Py_None) {
    std::size_t choice = 0;
    if (!convert_choice(normalization, "normalization", "None or 'l2'", {"l2"}, choice)) return false;
    out.fit.normalize = true;
  }

  if (PyObject* exponent = slot[COLUMNS + 2]; exponent != nullptr) {
    if (!noted(convert_float(exponent, out.fit.degree_exponent), "degree_exponent")) return false;
    if (!std::isfinite(out.fit.degree_exponent)) return refuse_value("degree_exponent", "a finite float", exponent);
  }

  std::size_t row_order = 0;
  if (!convert_choice(slot[ROW_ORDER], "row_order", "'auto', 'stored' or 'locality'", {"auto", "stored", "locality"},
                      row_order))
    return false;
  constexpr RowOrdering ORDERINGS[] = {RowOrdering::automatic, RowOrdering::stored, RowOrdering::locality};
  out.fit.row_order = ORDERINGS[row_order];

  std::size_t edge_weight = 0;
  if (!convert_choice(slot[COLUMNS + 3], "edge_weight", "'raw', 'binary' or 'log1p'", {"raw", "binary", "log1p"},
                      edge_weight))
    return false;
  out.edge_weight = static_cast<EdgeWeight>(edge_weight);

  std::size_t direction = 0;
  if (!convert_choice(direction_object, "direction", "'out', 'in' or 'both'", {"out", "in", "both"}, direction))
    return false;
  constexpr Direction DIRECTIONS[] = {Direction::out, Direction::in, Direction::both};
  out.fit.direction = DIRECTIONS[direction];

  if (out.fit.direction == Direction::in && settings.undirected) {
    PyErr_SetString(PyExc_ValueError, "direction='in' needs undirected=False: an undirected graph has one direction");
    return false;
  }
  if (both && settings.undirected) {
    PyErr_SetString(PyExc_ValueError,
                    "direction='both' needs undirected=False: an undirected graph has one direction");
    return false;
  }
  const std::uint64_t start = out.fit.column_start.value_or(0), stop = out.fit.column_stop.value_or(total);
  // l2 scales a row over all dim columns of a term: the range must hold
  // whole terms (whole directions for combine='sum').
  const std::uint64_t dim = settings.dim;
  const bool whole = dim == 0 || total == 0 || (start % dim == 0 && stop % dim == 0 && start < stop);
  if (out.fit.normalize && !whole) {
    PyErr_SetString(PyExc_ValueError,
                    "columns must cover all dim columns with normalization='l2', which couples the columns of a row");
    return false;
  }
  return true;
}

// None or an integer of at least 1.
bool convert_block_columns(PyObject* object, std::optional<std::uint64_t>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    PyErr_Format(PyExc_TypeError, "block_columns must be None or an integer, not %s", Py_TYPE(object)->tp_name);
    return false;
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) return refuse_value("block_columns", "at least 1", object);
  out = overflow > 0 ? UINT64_MAX : std::uint64_t(value);
  return true;
}

// The result of the unlocked part: a matrix, an engine error, or the text
// of an option refusal that only the graph could reveal.
using Outcome = std::variant<MatrixF32, EmbeddingError, std::string>;

PyObject* fit_csr_ext_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (std::size_t(nargs) > POSITIONAL) {
    PyErr_Format(PyExc_TypeError, "fit_csr_ext() takes %zu positional arguments but %zd were given", POSITIONAL,
                 nargs);
    return nullptr;
  }
  std::array<PyObject*, std::size(PARAMS)> slot{};
  if (!bind_arguments(SIGNATURE, args, nargs, kwnames, slot)) return nullptr;

  CsrArguments csr;
  Settings settings;
  if (!convert_csr_arguments(slot, csr) ||
      !convert_settings(std::span(slot).subspan(4, SETTINGS_COUNT), "weights", settings))
    return nullptr;
  ExtOptions options;
  if (!convert_options(slot, settings, options)) return nullptr;
  const bool both = options.fit.direction == Direction::both;
  const std::uint64_t start = options.fit.column_start.value_or(0);
  const std::uint64_t terms = options.fit.combine == Combine::concat ? count_terms(settings.weights) : 1;
  const std::uint64_t width =
      options.fit.column_stop.value_or(settings.dim * terms * (both ? 2 : 1)) - start;
  std::optional<std::uint64_t> block_columns;
  if (!convert_block_columns(slot[BLOCK_COLUMNS], block_columns)) return nullptr;
  if (block_columns && (slot[OUT] == nullptr || slot[OUT] == Py_None)) {
    // Blocks bound memory only when they go straight into the caller's
    // array; a returned array would be allocated whole anyway.
    PyErr_SetString(PyExc_ValueError, "block_columns needs out: pass out=numpy.empty((num_nodes, stop - start), "
                                      "numpy.float32) to fit in blocks");
    return nullptr;
  }
  // l2 couples the columns of one direction: a block must hold them all.
  if (options.fit.normalize && block_columns && *block_columns < std::min(width, settings.dim)) {
    PyErr_SetString(PyExc_ValueError,
                    "block_columns must cover all dim columns with normalization='l2', which couples the columns "
                    "of a row");
    return nullptr;
  }
  PyObject* progress = slot[PROGRESS] != Py_None ? slot[PROGRESS] : nullptr;
  if (progress != nullptr && !PyCallable_Check(progress)) {
    PyErr_Format(PyExc_TypeError, "progress must be None or a callable, not %s", Py_TYPE(progress)->tp_name);
    return nullptr;
  }
  // Declared before the unlocked scope, so its views are released with the
  // lock held again.
  std::optional<OutTarget> out;
  if (slot[OUT] != nullptr && slot[OUT] != Py_None) {
    out.emplace();
    if (!convert_out(slot[OUT], csr.num_nodes, width, *out)) return nullptr;
  }

  OwnedCsr owned;
  if (!copy_csr_arguments(csr, owned)) return nullptr;
  Expected<FitParams> params = build_params(settings);
  if (!params) {
    raise_embedding_error(params.error());
    return nullptr;
  }

  std::optional<Outcome> outcome;
  try {
    InterpreterUnlocked unlocked;
    PythonMonitor monitor(unlocked, progress);
    MonitorScope monitored(&monitor);
    Expected<CsrGraph> graph = CsrGraph::from_csr(std::move(owned.row_ptrs), std::move(owned.col_indices),
                                                  std::move(owned.values), csr.num_nodes);
    check_point();
    if (!graph) {
      outcome.emplace(std::move(graph).error());
    } else if (auto refusal = transform_edge_weights(*graph, options.edge_weight)) {
      outcome.emplace(std::move(*refusal));
    } else if (out) {
      const std::uint64_t block = block_columns.value_or(std::max<std::uint64_t>(width, 1));
      std::optional<ArrayLikeSink> array_like;
      if (out->array_like) array_like.emplace(out->object.get(), unlocked);
      Status status = array_like ? fit_into(*graph, *params, options.fit, block, *array_like)
                                 : fit_into(*graph, *params, options.fit, block, out->strided);
      if (status) {
        outcome.emplace(MatrixF32{});
      } else {
        outcome.emplace(std::move(status).error());
      }
    } else {
      Expected<MatrixF32> matrix = fit(*graph, *params, options.fit);
      if (matrix) {
        outcome.emplace(std::move(matrix).value());
      } else {
        outcome.emplace(std::move(matrix).error());
      }
    }
  } catch (const PythonRaised&) {
    // The graph is released and the lock held again; the interpreter's
    // exception (from the target's __setitem__) is pending.
    return nullptr;
  } catch (const FitCancelled&) {
    // Stopped by the monitor: the exception of the signal handler or of the
    // progress callback is pending, and every buffer of the fit is released.
    return nullptr;
  }
  if (auto* error = std::get_if<EmbeddingError>(&*outcome)) {
    raise_embedding_error(*error);
    return nullptr;
  }
  if (auto* refusal = std::get_if<std::string>(&*outcome)) {
    PyErr_SetString(PyExc_ValueError, refusal->c_str());
    return nullptr;
  }
  if (out) return Py_NewRef(out->object.get());
  return wrap_matrix(std::move(std::get<MatrixF32>(*outcome)));
}

PyObject* fit_csr_ext(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_native([&] { return fit_csr_ext_body(args, nargs, kwnames); });
}

PyObject* work_matrices(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_native([&]() -> PyObject* {
    static const char* keywords[] = {"weights", "combine", nullptr};
    PyObject* weights = nullptr;
    PyObject* combine_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:work_matrices", const_cast<char**>(keywords), &weights,
                                     &combine_object))
      return nullptr;
    std::vector<double> values;
    if (!noted(convert_float_sequence(weights, values), "weights")) return nullptr;
    std::size_t combine = 0;
    if (!convert_choice(combine_object, "combine", "'sum' or 'concat'", {"sum", "concat"}, combine))
      return nullptr;
    return PyLong_FromUnsignedLong(
        graphripple::work_matrices(values, combine == 1 ? Combine::concat : Combine::sum));
  });
}

PyMethodDef g_definitions[] = {
    {"fit_csr_ext", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_csr_ext)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_csr_ext(row_ptrs, col_indices, values, num_nodes, dim, weights, *, seed=None, undirected=True, "
     "node_features=None, feature_weight=1.0, columns=None, normalization=None, degree_exponent=0.0, "
     "edge_weight='raw', direction='out', out=None, block_columns=None, progress=None, combine='sum', "
     "row_order='auto')\n--\n\n"},
    {"work_matrices", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(work_matrices)),
     METH_VARARGS | METH_KEYWORDS,
     "work_matrices(weights, combine='sum')\n--\n\nThe n x width float32 matrices a fit with these weights holds "
     "at its peak (width: the columns of one block; for combine='concat', of the starting matrix)."},
};

}  // namespace

std::span<PyMethodDef> ext_entry_point_definitions() { return g_definitions; }

}  // namespace graphripple::py
