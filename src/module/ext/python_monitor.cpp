#include "module/ext/python_monitor.h"

namespace graphripple::py {

bool PythonMonitor::poll() noexcept {
  if (raised_) return true;
  // Check points can come much faster than signals need checking; taking
  // the lock for each would slow the fit when other threads hold it.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_poll_ < POLL_INTERVAL) return false;
  last_poll_ = now;
  InterpreterRelocked locked(unlocked_);
  if (PyErr_CheckSignals() < 0) raised_ = true;
  return raised_;
}

bool PythonMonitor::progress(std::uint64_t done, std::uint64_t total) noexcept {
  if (raised_) return true;
  if (progress_ == nullptr) return false;
  InterpreterRelocked locked(unlocked_);
  PyObject* result = PyObject_CallFunction(progress_, "KK", (unsigned long long)done, (unsigned long long)total);
  if (result == nullptr) {
    raised_ = true;
  } else {
    Py_DECREF(result);
  }
  return raised_;
}

}  // namespace graphripple::py
