// The `out` argument of fit_csr_ext: a NumPy array (any strides, a
// numpy.memmap included) written without the lock through its buffer, or
// an array-like without the buffer protocol (zarr, h5py) whose blocks are
// assigned through __setitem__ with the lock held.
#pragma once

#include <cstdint>

#include "algorithm/fit.h"
#include "module/interpreter_lock.h"
#include "module/python_ref.h"

namespace graphripple::py {

// A buffer view released (with the lock held) when the holder goes.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* object, int flags) {
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The caller's output array, held for the whole call: a reference, a
// writable strided view, and a view of the object that owns the memory
// (when that is not the array itself and exports a buffer). An array-like
// without the buffer protocol (zarr, h5py) has no views: its blocks are
// assigned through __setitem__.
struct OutTarget {
  PyRef object;
  BufferView view;
  BufferView owner;
  StridedOutput strided;
  bool array_like = false;
};

// Each finished block assigned as out[:, first:first + cols] = block, with
// the lock taken back for the assignment; the block becomes a NumPy array
// that owns its buffer, so the target may keep it.
class ArrayLikeSink final : public ColumnSink {
 public:
  ArrayLikeSink(PyObject* target, InterpreterUnlocked& unlocked) : target_(target), unlocked_(unlocked) {}

  void write(MatrixF32&& block, std::uint64_t first) override;


 private:
  PyObject* target_;
  InterpreterUnlocked& unlocked_;
};

/// Checks `object` as the output of rows x cols columns and fills
/// `target`; false with the TypeError or ValueError set.
bool convert_out(PyObject* object, std::uint64_t rows, std::uint64_t cols, OutTarget& target);

}  // namespace graphripple::py
