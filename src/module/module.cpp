// The extension module _native_core: definition, execution slot and init.
//
// Multi-phase initialisation: PyInit__native_core (src/module/init) only
// returns the definition; the execution slot adds fit_dense, fit_csr and fit_adj_list
// and lists them in __all__. Nothing else happens at import; NumPy, the
// PanicException type and the result container type are all set up on
// first use.
#include "module/entry_points.h"
#include "module/errors.h"
#include "module/export.h"

namespace graphripple::py {

namespace {

// Sets module.NAME = function and appends NAME to module.__all__, creating
// the list when the module has none.
int add_function(PyObject* module, PyObject* function) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(function, "__name__"));
  if (!name) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), function);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_type_refusal(module, "module");
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& definition : entry_point_definitions()) {
    PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    if (!function || add_function(module, function.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The process-wide objects made on first use (NumPy's table, the
    // PanicException and container types) belong to one interpreter, and
    // NumPy itself cannot be loaded into several; refuse sub-interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // The module keeps no mutable state guarded by the interpreter lock: each
    // call works on its own copies, and the three lazily made process-wide
    // objects are published with atomic compare-exchange. The engine already
    // runs without the lock, on its own worker pool.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_native_core",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace graphripple::py

PyModuleDef* graphripple_core_module_definition() { return &graphripple::py::g_definition; }
