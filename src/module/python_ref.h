// Small helpers for holding Python references in C++ code.
//
// - PyRef owns one strong reference and drops it on every path, so a
//   function can return early without a cleanup ladder.
// - Every function of the module boundary keeps the CPython rule "the result
//   is NULL exactly when an exception is set"; check_result asserts it in
//   debug builds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cassert>
#include <utility>

namespace graphripple::py {

/// Owns one strong reference (or nothing). Move-only: a copy would need an
/// incref the caller did not ask for.
class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  /// Adds a reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  /// Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

/// Publishes a lazily created, process-lifetime object: the first thread to
/// store into `slot` wins, a loser drops its own object and uses the
/// winner's. No lock is held while the object was created, so creation may
/// call into Python freely. Returns the published object, or null when
/// `created` is null (its exception stays set).
template <class T>
T* publish_once(std::atomic<T*>& slot, T* created) {
  if (created == nullptr) return nullptr;
  T* expected = nullptr;
  // acq_rel: release publishes the new object; acquire (also on failure)
  // lets the loser use the winner's object safely.
  if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel, std::memory_order_acquire))
    return created;  // kept for the life of the process
  Py_DECREF(reinterpret_cast<PyObject*>(created));
  return expected;
}

/// Turns "a call reported failure but set nothing" into the SystemError the
/// interpreter uses for that case, so the caller can always return NULL.
inline void ensure_exception_set() {
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

/// Debug check of the NULL-exactly-when-raised rule; returns `result`.
inline PyObject* check_result(PyObject* result) {
  assert((result == nullptr) == (PyErr_Occurred() != nullptr));
  return result;
}

}  // namespace graphripple::py
