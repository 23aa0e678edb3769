#include "module/ext/array_argument.h"

#include <cstring>

#include "module/numpy_api.h"

namespace graphripple::py {

bool ArrayArgument::acquire(PyObject* object, const char* name, char kind, int ndim, bool writable) {
  if (!PyObject_CheckBuffer(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a NumPy array, not %s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(object, &view_, flags) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous%s array", name, writable ? " writable" : "");
    return false;
  }
  held_ = true;
  const char* format = view_.format != nullptr ? view_.format : "B";
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  const bool matches = kind == 'i'   ? (std::strchr("qlQL", *format) != nullptr && view_.itemsize == 8)
                       : kind == 'd' ? (*format == 'd' && view_.itemsize == 8)
                                     : (*format == 'f' && view_.itemsize == 4);
  if (!matches || format[0] == '\0' || format[1] != '\0') {
    PyErr_Format(PyExc_TypeError, "%s must have dtype %s", name,
                 kind == 'i' ? "int64" : kind == 'd' ? "float64" : "float32");
    return false;
  }
  if (view_.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s), not %d", name, ndim, view_.ndim);
    return false;
  }
  if (reinterpret_cast<std::uintptr_t>(view_.buf) % std::uintptr_t(view_.itemsize) != 0) {
    PyErr_Format(PyExc_ValueError, "%s must be aligned", name);
    return false;
  }
  return true;
}

PyObject* new_vector(int type, std::uint64_t length, const void* data, std::size_t item) {
  if (!acquire_numpy_api()) return nullptr;
  const npy_intp shape[1] = {npy_intp(length)};
  PyObject* array = PyArray_SimpleNew(1, shape, type);
  if (array != nullptr && length > 0 && data != nullptr)
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, length * item);
  return array;
}

}  // namespace graphripple::py
