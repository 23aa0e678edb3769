// Array type tests, contiguity and copies.
//
// Reads go through memcpy on byte addresses: a view made with explicit
// strides may be misaligned, and memcpy is correct for any address.
//
// The error texts raised here are part of the module's public contract:
// callers match them, so keep each one byte for byte.
#include "module/array_input.h"

#include <cstring>

#include "error/fallible_alloc.h"
#include "module/errors.h"
#include "module/conversion.h"
#include "module/numpy_api.h"
#include "module/settings.h"

namespace graphripple::py {

namespace {

constexpr npy_intp ELEMENT_BYTES = 8;

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

bool convert_array(PyObject* object, int ndim, int type_num, PyRef& out) {
  if (!acquire_numpy_api()) return false;
  if (PyArray_Check(object) && PyArray_NDIM(as_array(object)) == ndim) {
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    if (wanted == nullptr) return false;
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(as_array(object)), wanted);
    Py_DECREF(wanted);
    if (equivalent) {
      out = PyRef::borrow(object);
      return true;
    }
  }
  raise_type_refusal(object, "ndarray");
  return false;
}

npy_intp element_count(PyArrayObject* array) {
  npy_intp count = 1;
  for (int axis = 0; axis < PyArray_NDIM(array); ++axis) count *= PyArray_DIMS(array)[axis];
  return count;
}

template <class T>
Status copy_flat(PyObject* object, std::vector<T>& out) {
  static_assert(sizeof(T) == ELEMENT_BYTES);
  PyArrayObject* array = as_array(object);
  const auto count = std::uint64_t(element_count(array));
  out.clear();
  if (count == 0) return Status::ok();
  if (Status reserved = try_reserve(out, count); !reserved) return reserved;
  out.resize(count);
  // Contiguous and 1-D: the elements are the `count` words at the data
  // pointer, in order.
  std::memcpy(out.data(), PyArray_DATA(array), count * ELEMENT_BYTES);
  return Status::ok();
}

// Axis of `extent` whose elements are adjacent (stride +-1), or irrelevant.
bool is_unit_axis(npy_intp extent, npy_intp stride) { return extent == 1 || stride == 1 || stride == -1; }
// Axis that steps over whole runs of `inner` elements, or irrelevant.
bool is_outer_axis(npy_intp extent, npy_intp stride, npy_intp inner) {
  return extent == 1 || stride == inner || stride == -inner;
}

}  // namespace

bool convert_int64_vector(PyObject* object, PyRef& out) { return convert_array(object, 1, NPY_LONGLONG, out); }
bool convert_float64_vector(PyObject* object, PyRef& out) { return convert_array(object, 1, NPY_DOUBLE, out); }
bool convert_float64_matrix(PyObject* object, PyRef& out) { return convert_array(object, 2, NPY_DOUBLE, out); }

bool check_contiguous(PyObject* object, const char* name) {
  PyArrayObject* array = as_array(object);
  if (element_count(array) == 0) return true;
  const int flags = PyArray_FLAGS(array);
  const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
  const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
  if (aligned && contiguous && PyArray_DATA(array) != nullptr) return true;
  PyErr_Format(PyExc_ValueError, "%s must be contiguous: The given array is not contiguous or is misaligned.",
               name);
  return false;
}

Status copy_words(PyObject* array, std::vector<std::uint64_t>& out) { return copy_flat(array, out); }
Status copy_doubles(PyObject* array, std::vector<double>& out) { return copy_flat(array, out); }

Expected<MatrixF64> copy_matrix(PyObject* object) {
  PyArrayObject* array = as_array(object);
  const npy_intp rows = PyArray_DIMS(array)[0];
  const npy_intp cols = PyArray_DIMS(array)[1];
  const npy_intp row_bytes = PyArray_STRIDES(array)[0];
  const npy_intp col_bytes = PyArray_STRIDES(array)[1];
  const auto* data = static_cast<const char*>(PyArray_DATA(array));
  const auto count = std::uint64_t(rows) * std::uint64_t(cols);

  MatrixF64 matrix;
  matrix.rows = std::uint64_t(rows);
  matrix.cols = std::uint64_t(cols);
  matrix.row_stride = cols;
  matrix.col_stride = 1;
  if (count == 0) return matrix;
  if (Status reserved = try_reserve(matrix.storage, count); !reserved) return std::move(reserved).error();
  matrix.storage.resize(count);

  if (row_bytes % ELEMENT_BYTES == 0 && col_bytes % ELEMENT_BYTES == 0) {
    const npy_intp row_stride = row_bytes / ELEMENT_BYTES;
    const npy_intp col_stride = col_bytes / ELEMENT_BYTES;
    const bool row_major = is_unit_axis(cols, col_stride) && is_outer_axis(rows, row_stride, cols);
    const bool col_major = is_unit_axis(rows, row_stride) && is_outer_axis(cols, col_stride, rows);
    if (row_major || col_major) {
      // Offset of the lowest-addressed element from element (0, 0): the
      // reversed axes contribute their full span.
      const npy_intp lowest = (row_stride < 0 ? (rows - 1) * row_stride : 0) +
                              (col_stride < 0 ? (cols - 1) * col_stride : 0);
      std::memcpy(matrix.storage.data(), data + lowest * ELEMENT_BYTES, count * ELEMENT_BYTES);
      matrix.origin_offset = std::uint64_t(-lowest);
      matrix.row_stride = row_stride;
      matrix.col_stride = col_stride;
      return matrix;
    }
  }
  double* target = matrix.storage.data();
  for (npy_intp r = 0; r < rows; ++r) {
    const char* row = data + r * row_bytes;
    for (npy_intp c = 0; c < cols; ++c) std::memcpy(target++, row + c * col_bytes, ELEMENT_BYTES);
  }
  return matrix;
}

bool convert_csr_arguments(std::span<PyObject* const> slot, CsrArguments& out) {
  return noted(convert_int64_vector(slot[0], out.row_ptrs), "row_ptrs") &&
         noted(convert_int64_vector(slot[1], out.col_indices), "col_indices") &&
         noted(convert_float64_vector(slot[2], out.values), "values") &&
         noted(convert_unsigned(slot[3], out.num_nodes), "num_nodes");
}

bool copy_csr_arguments(const CsrArguments& arguments, OwnedCsr& out) {
  if (!check_contiguous(arguments.row_ptrs.get(), "row_ptrs") ||
      !check_contiguous(arguments.col_indices.get(), "col_indices") ||
      !check_contiguous(arguments.values.get(), "values"))
    return false;
  Status status = copy_words(arguments.row_ptrs.get(), out.row_ptrs);
  if (status) status = copy_words(arguments.col_indices.get(), out.col_indices);
  if (status) status = copy_doubles(arguments.values.get(), out.values);
  if (!status) raise_embedding_error(status.error());
  return bool(status);
}

}  // namespace graphripple::py
