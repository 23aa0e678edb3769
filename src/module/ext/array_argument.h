// NumPy arrays handed to the extension's row-block and edge functions: a
// held C-contiguous buffer of one dtype, and new 1-D result arrays.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace graphripple::py {

class ArrayArgument {
 public:
  ArrayArgument() = default;
  ArrayArgument(const ArrayArgument&) = delete;
  ArrayArgument& operator=(const ArrayArgument&) = delete;
  ~ArrayArgument() {
    if (held_) PyBuffer_Release(&view_);
  }

  /// Holds `object`'s buffer; kind: 'i' (8-byte integer), 'd' (float64) or
  /// 'f' (float32). False with the Python error set (naming `name`).
  bool acquire(PyObject* object, const char* name, char kind, int ndim, bool writable);

  std::uint64_t length() const { return std::uint64_t(view_.len / view_.itemsize); }
  std::uint64_t extent(int axis) const { return std::uint64_t(view_.shape[axis]); }
  template <class T>
  T* data() const {
    return static_cast<T*>(view_.buf);
  }
  std::span<const std::uint64_t> words() const { return {data<const std::uint64_t>(), length()}; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

/// A new 1-D array of `length` elements of NumPy `type` (`item` bytes
/// each), copied from `data` when given; null with the error set.
PyObject* new_vector(int type, std::uint64_t length, const void* data, std::size_t item);

}  // namespace graphripple::py
