// RAII release of the interpreter lock around native work.
//
// The lock is taken back in the destructor, so it is held again on every
// way out of the scope: normal return, early return, and a C++ exception
// unwinding towards the boundary's handler.
#pragma once

#include "module/python_ref.h"

namespace graphripple::py {

class InterpreterUnlocked {
 public:
  InterpreterUnlocked() : state_(PyEval_SaveThread()) {}
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace graphripple::py
