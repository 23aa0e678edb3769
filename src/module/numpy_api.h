// Access to NumPy's C interface.
//
// Every file of the module that uses NumPy includes this header instead of
// <numpy/arrayobject.h>. NumPy is not imported when the module is; the
// interface table is fetched on the first call that touches an array
// (acquire_numpy_api), from the `_ARRAY_API` capsule of NumPy's multiarray
// module, and kept for the life of the process.
//
// - Built against NumPy 2 headers with the 1.15 feature level as target, so
//   one binary runs on NumPy 1.x and 2.x; only calls present since then are
//   used.
// - NO_IMPORT_ARRAY everywhere: NumPy's own import_array() is never compiled,
//   the table is filled here. PyArray_API is redirected to an atomic load so
//   that concurrent first calls (free-threaded builds included) never race
//   on a plain pointer.
#pragma once

#include "module/python_ref.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL graphripple_numpy_api_table
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

namespace graphripple::py {

/// The published interface table; null until acquire_numpy_api succeeded.
void** numpy_table() noexcept;

/// Makes the interface usable: returns true at once when it already is,
/// otherwise imports NumPy and checks the capsule. On failure raises
/// PanicException "Failed to access NumPy array API capsule: ..." and
/// returns false.
bool acquire_numpy_api();

}  // namespace graphripple::py

// NumPy's call macros index PyArray_API; route them through the published
// table. The declaration the header made for the plain symbol stays unused.
#undef PyArray_API
#define PyArray_API (::graphripple::py::numpy_table())
