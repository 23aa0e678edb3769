// Handing an embedding matrix to Python without copying it.
//
// The array points at the matrix's own buffer; a PySliceContainer object,
// set as the array's base, owns the buffer and frees it when NumPy drops the
// last array or view that uses it.
#pragma once

#include "algorithm/dense_matrix.h"
#include "module/python_ref.h"

namespace graphripple::py {

/// New float32 array of shape (rows, cols) over the matrix's buffer, which
/// it takes over. Null with an exception set on failure, in which case the
/// buffer has been freed.
PyObject* wrap_matrix(MatrixF32 matrix);

}  // namespace graphripple::py
