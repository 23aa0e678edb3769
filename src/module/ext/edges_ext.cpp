// group_edges(sources, targets, weights, num_nodes) -> (row_ptrs,
// col_indices, values): the edges grouped by source row on the worker pool,
// each row keeping the edges' order (repeated edges stay apart, for the fit
// to sum in that order). sources and targets are int64 arrays of one
// length, weights a float64 array of that length or None (every weight
// 1.0); every id must lie in [0, num_nodes).
#include "module/ext/edges_ext.h"

#include <optional>

#include "csr/edge_rows.h"
#include "module/errors.h"
#include "module/ext/array_argument.h"
#include "module/interpreter_lock.h"
#include "module/numpy_api.h"

namespace graphripple::py {

namespace {

PyObject* group_edges_body(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"sources", "targets", "weights", "num_nodes", nullptr};
  PyObject *sources_object, *targets_object, *weights_object;
  unsigned long long n = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOK:group_edges", const_cast<char**>(names), &sources_object,
                                   &targets_object, &weights_object, &n))
    return nullptr;
  if (n >= (std::uint64_t{1} << 62)) {
    PyErr_SetString(PyExc_ValueError, "num_nodes must be below 2**62");
    return nullptr;
  }
  ArrayArgument sources, targets, weights;
  const bool weighted = weights_object != Py_None;
  if (!sources.acquire(sources_object, "sources", 'i', 1, false) ||
      !targets.acquire(targets_object, "targets", 'i', 1, false) ||
      (weighted && !weights.acquire(weights_object, "weights", 'd', 1, false)))
    return nullptr;
  const std::uint64_t m = sources.length();
  if (targets.length() != m || (weighted && weights.length() != m)) {
    PyErr_SetString(PyExc_ValueError, "sources, targets and weights must have the same length");
    return nullptr;
  }
  PyRef row_ptrs = PyRef::steal(new_vector(NPY_INT64, n + 1, nullptr, 8));
  if (!row_ptrs) return nullptr;
  PyRef columns = PyRef::steal(new_vector(NPY_INT64, m, nullptr, 8));
  if (!columns) return nullptr;
  PyRef values = PyRef::steal(new_vector(NPY_FLOAT64, m, nullptr, 8));
  if (!values) return nullptr;
  auto data = [](const PyRef& array) { return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())); };
  const EdgeRowsOutput out{{static_cast<std::int64_t*>(data(row_ptrs)), n + 1},
                           {static_cast<std::int64_t*>(data(columns)), m},
                           {static_cast<double*>(data(values)), m}};
  std::optional<Expected<std::optional<std::uint64_t>>> grouped;
  {
    InterpreterUnlocked unlocked;
    grouped.emplace(group_edges_by_row({sources.data<const std::int64_t>(), m}, {targets.data<const std::int64_t>(), m},
                                       {weighted ? weights.data<const double>() : nullptr, weighted ? m : 0}, n, out));
  }
  if (!*grouped) {
    raise_embedding_error(grouped->error());
    return nullptr;
  }
  if (const auto bad = grouped->value()) {
    PyErr_Format(PyExc_ValueError, "edge %llu has a node id outside [0, %llu): %lld -> %lld",
                 (unsigned long long)*bad, n, (long long)sources.data<const std::int64_t>()[*bad],
                 (long long)targets.data<const std::int64_t>()[*bad]);
    return nullptr;
  }
  return PyTuple_Pack(3, row_ptrs.get(), columns.get(), values.get());
}

PyObject* group_edges_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_native([&] { return group_edges_body(args, kwargs); });
}

PyMethodDef g_definitions[] = {
    {"group_edges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_edges_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "group_edges(sources, targets, weights, num_nodes)\n--\n\nThe edges grouped by source row (row_ptrs, "
     "col_indices, values), each row keeping the edges' order; weights None means 1.0 each."},
};

}  // namespace

std::span<PyMethodDef> edge_entry_point_definitions() { return g_definitions; }

}  // namespace graphripple::py
