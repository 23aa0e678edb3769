// Turning native failures into Python exceptions.
//
// - EmbeddingError (bad graph input, out of memory in the engine) becomes
//   ValueError carrying the error's display text.
// - An internal fault, or any other C++ exception that reaches the boundary,
//   becomes pyo3_runtime.PanicException, a BaseException subclass so that
//   `except Exception` does not swallow a broken invariant.
// - guard_native is the one place where C++ exceptions stop; every entry
//   function runs its body inside it.
#pragma once

#include <exception>
#include <string_view>

#include "error/embedding_error.h"
#include "module/python_ref.h"

namespace graphripple::py {

/// Takes the pending exception (normalised) out of the interpreter; null when
/// none is set. The caller owns the returned reference.
PyObject* take_raised_exception();
/// Makes `exception` (a reference the function takes over) pending again.
void restore_raised_exception(PyObject* exception);

/// The process-wide PanicException type (borrowed), created on first use;
/// null with an exception set when it cannot be created.
PyObject* panic_exception_type();

/// Raises PanicException(message). A pending exception, if any, becomes the
/// new exception's __context__ so its information is not lost.
void raise_panic(std::string_view message) noexcept;

/// Replaces the pending exception (a SystemError if none is set) by
/// PanicException "PREFIX: <text of the pending exception>", keeping the
/// original as the panic's __cause__.
void raise_panic_from_pending(const char* prefix);

/// Raises ValueError with the error's display text.
void raise_embedding_error(const EmbeddingError& error);

/// The __qualname__ of `type`, or "<failed to extract type name>".
PyRef type_qualname(PyTypeObject* type);

/// TypeError "'T' object is not an instance of 'EXPECTED'" for `object`, or
/// "'None' is not an instance of 'EXPECTED'" when it is None.
void raise_type_refusal(PyObject* object, const char* expected);

/// Attaches "while processing 'NAME'" to the pending exception through its
/// add_note method. If that fails, the secondary failure is dropped and the
/// original exception stays pending unchanged.
void add_parameter_note(const char* name);

/// Runs `body` (returning a new reference or null with an exception set) and
/// converts any C++ exception that escapes it into PanicException. The
/// interpreter lock must be held when the exception reaches this frame,
/// which the lock guard's destructor ensures.
template <class Body>
PyObject* guard_native(Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("native code failed with an internal fault that carries no message");
  }
  if (result == nullptr) ensure_exception_set();
  return check_result(result);
}

}  // namespace graphripple::py
