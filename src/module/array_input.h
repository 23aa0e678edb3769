// NumPy array arguments: type tests, the contiguity test and the copies into
// owned storage.
//
// Input arrays are only ever read. The module does not register its reads
// in NumPy's cross-extension borrow registry: it copies every array before
// the interpreter lock is released and never writes to one, so there is no
// exclusive access of its own for the registry to guard against.
#pragma once

#include <cstdint>
#include <vector>

#include "csr/matrix_f64.h"
#include "error/expected.h"
#include "module/python_ref.h"

namespace graphripple::py {

/// 1-D array with a dtype equivalent to int64. On success `out` holds a
/// reference to the array; otherwise TypeError (or PanicException when
/// NumPy's interface is unavailable).
bool convert_int64_vector(PyObject* object, PyRef& out);
/// 1-D array with a dtype equivalent to float64.
bool convert_float64_vector(PyObject* object, PyRef& out);
/// 2-D array with a dtype equivalent to float64, any strides.
bool convert_float64_matrix(PyObject* object, PyRef& out);

/// An empty array, or one that is aligned and C- or Fortran-contiguous.
/// Otherwise raises ValueError "NAME must be contiguous: ...".
bool check_contiguous(PyObject* array, const char* name);

/// Copies a contiguous 1-D int64 array; each element keeps its bits, so -1
/// becomes 2**64 - 1. Fails only when memory runs out.
Status copy_words(PyObject* array, std::vector<std::uint64_t>& out);
/// Copies a contiguous 1-D float64 array.
Status copy_doubles(PyObject* array, std::vector<double>& out);

/// Copies a 2-D float64 array of any strides. When its elements fill one
/// block (row- or column-major, axes possibly reversed) the block is copied
/// in one piece and the strides kept; otherwise the copy is row-major.
/// Element (r, c) of the result is always element (r, c) of the array.
Expected<MatrixF64> copy_matrix(PyObject* array);

}  // namespace graphripple::py
