#include "module/ext/out_target.h"

#include <bit>
#include <string>
#include <utility>

#include "module/numpy_api.h"
#include "module/result_array.h"

namespace graphripple::py {

void ArrayLikeSink::write(MatrixF32&& block, std::uint64_t first) {
  const std::uint64_t cols = block.cols;
  if (cols == 0) return;
  MatrixF32 owned = std::move(block);
  InterpreterRelocked locked(unlocked_);
  PyRef array = PyRef::steal(wrap_matrix(std::move(owned)));
  if (!array) throw PythonRaised{};
  PyRef lo = PyRef::steal(PyLong_FromUnsignedLongLong(first));
  PyRef hi = PyRef::steal(PyLong_FromUnsignedLongLong(first + cols));
  if (!lo || !hi) throw PythonRaised{};
  PyRef rows = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
  PyRef columns = PyRef::steal(PySlice_New(lo.get(), hi.get(), nullptr));
  if (!rows || !columns) throw PythonRaised{};
  PyRef key = PyRef::steal(PyTuple_Pack(2, rows.get(), columns.get()));
  if (!key || PyObject_SetItem(target_, key.get(), array.get()) < 0) throw PythonRaised{};
}
// dtype text for messages: the object's dtype when it has one, else the
// buffer format.
namespace {

PyRef describe_dtype(PyObject* object, const char* format) {
  if (PyObject_HasAttrString(object, "dtype")) {
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
    if (dtype) return PyRef::steal(PyObject_Str(dtype.get()));
    PyErr_Clear();
  }
  return PyRef::steal(PyUnicode_FromFormat("format '%s'", format != nullptr ? format : "B"));
}

bool native_float32(const char* format) {
  if (format == nullptr) return false;
  const std::string text(format);
  constexpr bool little = std::endian::native == std::endian::little;
  return text == "f" || text == "@f" || text == "=f" || (little ? text == "<f" : text == ">f");
}

// Two elements of a rows x cols view with these byte strides can share a
// byte only when the strides interleave: with the smaller stride (in
// magnitude) at least 4 and the larger at least its extent, none can.
bool elements_disjoint(std::uint64_t rows, std::uint64_t cols, std::int64_t row_stride, std::int64_t col_stride) {
  if (rows == 0 || cols == 0) return true;
  struct Axis {
    std::uint64_t extent;
    std::uint64_t stride;
  };
  Axis a{rows, std::uint64_t(row_stride < 0 ? -row_stride : row_stride)};
  Axis b{cols, std::uint64_t(col_stride < 0 ? -col_stride : col_stride)};
  if (a.extent <= 1) a.stride = UINT64_MAX;
  if (b.extent <= 1) b.stride = UINT64_MAX;
  if (a.stride > b.stride) std::swap(a, b);
  if (a.stride == UINT64_MAX) return true;  // at most one element
  if (a.stride < sizeof(float)) return false;
  if (b.stride == UINT64_MAX) return true;
  return b.stride / a.stride >= a.extent && b.stride >= a.extent * a.stride;
}

PyRef shape_tuple(const Py_buffer& view) {
  PyRef shape = PyRef::steal(PyTuple_New(view.ndim));
  if (!shape) return shape;
  for (int i = 0; i < view.ndim; ++i) {
    PyObject* extent = PyLong_FromSsize_t(view.shape[i]);
    if (extent == nullptr) return PyRef();
    PyTuple_SET_ITEM(shape.get(), i, extent);
  }
  return shape;
}

bool refuse_shape(std::uint64_t rows, std::uint64_t cols, PyObject* shape) {
  PyErr_Format(PyExc_ValueError, "out must have shape (%llu, %llu), not %R", (unsigned long long)rows,
               (unsigned long long)cols, shape);
  return false;
}

// An object with shape, dtype and __setitem__ but no buffer: dtype float32
// (native order) and shape (rows, cols) are checked here.
bool convert_array_like(PyObject* object, std::uint64_t rows, std::uint64_t cols, OutTarget& target) {
  if (!acquire_numpy_api()) return false;
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
  if (!dtype) return false;
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(dtype.get(), &descr)) return false;
  PyRef held_descr = PyRef::steal(reinterpret_cast<PyObject*>(descr));
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT32);
  PyRef held_float32 = PyRef::steal(reinterpret_cast<PyObject*>(float32));
  if (float32 == nullptr) return false;
  if (!PyArray_EquivTypes(descr, float32)) {
    PyRef text = PyRef::steal(PyObject_Str(dtype.get()));
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "out must have dtype float32 (native byte order), not %U", text.get());
    return false;
  }
  PyRef shape_attr = PyRef::steal(PyObject_GetAttrString(object, "shape"));
  if (!shape_attr) return false;
  PyRef shape = PyRef::steal(PySequence_Tuple(shape_attr.get()));
  if (!shape) return false;
  if (PyTuple_GET_SIZE(shape.get()) != 2) return refuse_shape(rows, cols, shape.get());
  const std::uint64_t expected[2] = {rows, cols};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyRef index = PyRef::steal(PyNumber_Index(PyTuple_GET_ITEM(shape.get(), i)));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == (unsigned long long)-1 && PyErr_Occurred()) {
      PyErr_Clear();
      return refuse_shape(rows, cols, shape.get());
    }
    if (value != expected[i]) return refuse_shape(rows, cols, shape.get());
  }
  target.object = PyRef::borrow(object);
  target.array_like = true;
  return true;
}

bool has_array_like_protocol(PyObject* object) {
  return PyObject_HasAttrString(object, "shape") && PyObject_HasAttrString(object, "dtype") &&
         PyObject_HasAttrString(object, "__setitem__");
}

}  // namespace

bool convert_out(PyObject* object, std::uint64_t rows, std::uint64_t cols, OutTarget& target) {
  if (!PyObject_CheckBuffer(object)) {
    if (has_array_like_protocol(object)) return convert_array_like(object, rows, cols, target);
    PyErr_Format(PyExc_TypeError, "out must be a writable float32 NumPy array (or numpy.memmap), not %s",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  {
    // A read-only array is a ValueError of its own; exporters differ in
    // what they raise for a writable request, so ask for a plain view first.
    BufferView probe;
    if (!probe.acquire(object, PyBUF_STRIDES | PyBUF_FORMAT)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "out must be a writable float32 NumPy array (or numpy.memmap), not %s",
                   Py_TYPE(object)->tp_name);
      return false;
    }
    if (probe.view().readonly) {
      PyErr_SetString(PyExc_ValueError, "out is read-only");
      return false;
    }
  }
  if (!target.view.acquire(object, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT)) return false;
  const Py_buffer& view = target.view.view();
  if (!native_float32(view.format) || view.itemsize != Py_ssize_t(sizeof(float))) {
    PyRef dtype = describe_dtype(object, view.format);
    if (!dtype) return false;
    PyErr_Format(PyExc_TypeError, "out must have dtype float32 (native byte order), not %U", dtype.get());
    return false;
  }
  if (view.ndim != 2 || std::uint64_t(view.shape[0]) != rows || std::uint64_t(view.shape[1]) != cols) {
    PyRef shape = shape_tuple(view);
    if (!shape) return false;
    return refuse_shape(rows, cols, shape.get());
  }
  const std::int64_t row_stride = view.strides[0], col_stride = view.strides[1];
  if (!elements_disjoint(rows, cols, row_stride, col_stride)) {
    PyErr_SetString(PyExc_ValueError, "out must not have overlapping elements (strides that repeat memory)");
    return false;
  }
  // Pin the memory's owner: for a numpy.memmap the mmap object, whose
  // close() refuses while a view of it exists.
  if (acquire_numpy_api() && PyArray_Check(object)) {
    PyObject* base = object;
    while (PyArray_Check(base) && PyArray_BASE(reinterpret_cast<PyArrayObject*>(base)) != nullptr)
      base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base));
    if (base != object && !PyArray_Check(base) && PyObject_CheckBuffer(base) &&
        !target.owner.acquire(base, PyBUF_SIMPLE))
      PyErr_Clear();  // an owner that exports no plain view keeps its own rules
  } else if (PyErr_Occurred()) {
    return false;
  }
  target.object = PyRef::borrow(object);
  target.strided = StridedOutput{static_cast<char*>(view.buf), rows, cols, row_stride, col_stride};
  return true;
}

}  // namespace graphripple::py
