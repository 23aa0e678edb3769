// RAII release of the interpreter lock around native work.
//
// The lock is taken back in the destructor, so it is held again on every
// way out of the scope: normal return, early return, and a C++ exception
// unwinding towards the boundary's handler.
#pragma once

#include "module/python_ref.h"

namespace graphripple::py {

class InterpreterUnlocked {
  friend class InterpreterRelocked;

 public:
  InterpreterUnlocked() : state_(PyEval_SaveThread()) {}
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

 private:
  PyThreadState* state_;
};

/// The lock taken back, inside an InterpreterUnlocked scope on the same
/// thread, for a short call into the interpreter; released again at the end
/// of the scope (on every way out).
class InterpreterRelocked {
 public:
  explicit InterpreterRelocked(InterpreterUnlocked& unlocked) : unlocked_(unlocked) {
    PyEval_RestoreThread(unlocked_.state_);
  }
  ~InterpreterRelocked() { unlocked_.state_ = PyEval_SaveThread(); }
  InterpreterRelocked(const InterpreterRelocked&) = delete;
  InterpreterRelocked& operator=(const InterpreterRelocked&) = delete;

 private:
  InterpreterUnlocked& unlocked_;
};

/// Thrown inside an unlocked scope after an interpreter call failed, with
/// its exception left pending; the boundary returns null once the lock is
/// held again.
struct PythonRaised {};

}  // namespace graphripple::py
