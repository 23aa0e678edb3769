// The extension module _native_ext: fit_csr_ext beside _native_core.
//
// Built into the shared engine library with the same conversion, result
// and error code as _native_core, so shared arguments convert and fail
// alike, and the process-wide objects made on first use (NumPy's table, the
// result container and PanicException types, the worker pool) are the ones
// _native_core uses. Multi-phase initialisation: PyInit__native_ext
// (src/module/init) only returns the definition; the execution slot adds
// the functions, the constants (DIRECTION_SEED_OFFSET,
// LOCALITY_MIN_MATRIX_BYTES) and __all__.
#include <utility>

#include "algorithm/fit_options.h"
#include "algorithm/locality_order.h"
#include "module/errors.h"
#include "module/export.h"
#include "module/ext/edges_ext.h"
#include "module/ext/fit_csr_ext.h"
#include "module/ext/partition_ext.h"

namespace graphripple::py {

namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_type_refusal(module, "module");
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return -1;
  for (std::span<PyMethodDef> table :
       {ext_entry_point_definitions(), partition_entry_point_definitions(), edge_entry_point_definitions()})
  for (PyMethodDef& definition : table) {
    PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    if (!function) return -1;
    PyRef name = PyRef::steal(PyUnicode_FromString(definition.ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0 ||
        PyObject_SetAttr(module, name.get(), function.get()) < 0)
      return -1;
  }
  const std::pair<const char*, std::uint64_t> constants[] = {
      {"DIRECTION_SEED_OFFSET", DIRECTION_SEED_OFFSET},
      {"LOCALITY_MIN_MATRIX_BYTES", LOCALITY_MIN_MATRIX_BYTES},
  };
  for (const auto& [text, number] : constants) {
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(number));
    PyRef name = PyRef::steal(PyUnicode_FromString(text));
    if (!value || !name || PyObject_SetAttr(module, name.get(), value.get()) < 0 ||
        PyList_Append(all.get(), name.get()) < 0)
      return -1;
  }
  return PyObject_SetAttrString(module, "__all__", all.get());
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // As for _native_core: the lazily made process-wide objects belong to
    // one interpreter, and NumPy cannot be loaded into several.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Each call works on its own copies and the lazily made objects are
    // published with atomic compare-exchange; the engine runs without the
    // lock on its own worker pool.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_native_ext", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace graphripple::py

PyModuleDef* graphripple_ext_module_definition() { return &graphripple::py::g_definition; }
