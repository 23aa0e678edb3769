// The FitMonitor of a fit_csr_ext call: Ctrl-C and the progress callback.
//
// The call releases the interpreter lock for the fit; the monitor takes it
// back briefly on the calling thread, at most about every
// FitMonitor::POLL_INTERVAL while that thread waits for the pool and at the
// engine's check points, and runs the interpreter's signal handlers
// (PyErr_CheckSignals, which does so on the main thread only). A handler
// that raises (KeyboardInterrupt for SIGINT) stops the fit: its exception
// stays pending on this thread, and the call returns null once the fit has
// unwound. The progress callback is called with the lock held at each
// progress step; an exception from it stops the fit the same way.
#pragma once

#include <chrono>
#include <cstdint>

#include "module/interpreter_lock.h"
#include "pool/fit_monitor.h"

namespace graphripple::py {

class PythonMonitor final : public FitMonitor {
 public:
  /// `progress`: borrowed callable or null; the call keeps it alive.
  PythonMonitor(InterpreterUnlocked& unlocked, PyObject* progress) : unlocked_(unlocked), progress_(progress) {}

  bool poll() noexcept override;
  bool progress(std::uint64_t done, std::uint64_t total) noexcept override;

  /// Whether an interpreter exception is pending because of this monitor.
  bool raised() const { return raised_; }

 private:
  InterpreterUnlocked& unlocked_;
  PyObject* progress_;
  bool raised_ = false;
  std::chrono::steady_clock::time_point last_poll_{};
};

}  // namespace graphripple::py
