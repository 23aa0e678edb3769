// NumPy array arguments: type tests, the contiguity test and the copies into
// owned storage.
//
// Input arrays are only ever read. The module does not register its reads
// in NumPy's cross-extension borrow registry: it copies every array before
// the interpreter lock is released and never writes to one, so there is no
// exclusive access of its own for the registry to guard against.
#pragma once

#include <cstdint>
#include <span>
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

/// The graph arguments of a CSR fit: row_ptrs, col_indices, values and
/// num_nodes, as the caller passed them until they are copied.
struct CsrArguments {
  PyRef row_ptrs, col_indices, values;
  std::uint64_t num_nodes = 0;
};

/// The arrays of a CSR fit, copied into owned storage.
struct OwnedCsr {
  std::vector<std::uint64_t> row_ptrs, col_indices;
  std::vector<double> values;
};

/// Converts slot[0..4) as row_ptrs, col_indices, values and num_nodes, in
/// that order, each failure noted with its parameter's name.
bool convert_csr_arguments(std::span<PyObject* const> slot, CsrArguments& out);

/// Checks the three arrays for contiguity and copies them, in parameter
/// order; raises (ValueError, or the out-of-memory error) on failure.
bool copy_csr_arguments(const CsrArguments& arguments, OwnedCsr& out);

/// Copies a 2-D float64 array of any strides. When its elements fill one
/// block (row- or column-major, axes possibly reversed) the block is copied
/// in one piece and the strides kept; otherwise the copy is row-major.
/// Element (r, c) of the result is always element (r, c) of the array.
Expected<MatrixF64> copy_matrix(PyObject* array);

}  // namespace graphripple::py
