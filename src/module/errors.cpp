// Exception mapping of the module boundary and the PanicException type.
//
// The PanicException type is process-wide and created on first need. Two
// threads may race to create it (on free-threaded builds they run at the same
// time; elsewhere creation can switch threads inside the interpreter), so
// each candidate is published with one compare-exchange and the loser drops
// its own object. No lock is held while the interpreter runs.
#include "module/errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace graphripple::py {

namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when native code fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up and ends the interpreter.";

// Acquire on load pairs with the release of the winning compare-exchange, so
// a thread that sees the pointer also sees the fully built type.
std::atomic<PyObject*> g_panic_type{nullptr};

PyRef decode_text(std::string_view text) {
  // Messages are ASCII; "replace" keeps the conversion itself from failing.
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
}

}  // namespace

PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void restore_raised_exception(PyObject* exception) {
  if (exception == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

// The qualified name "pyo3_runtime.PanicException" is part of the module's
// public contract: callers catch the type by that name. Do not rename it.
PyObject* panic_exception_type() {
  if (PyObject* known = g_panic_type.load(std::memory_order_acquire)) return known;
  return publish_once(
      g_panic_type, PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC, PyExc_BaseException, nullptr));
}

void raise_panic(std::string_view message) noexcept {
  try {
    // Creating the type runs interpreter code, which must not see a pending
    // exception; keep it aside and link it to the panic afterwards.
    PyRef pending = PyRef::steal(take_raised_exception());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation failure stays pending
    PyRef text = decode_text(message);
    if (!text) return;
    PyErr_SetObject(type, text.get());
    if (pending) {
      PyRef panic = PyRef::steal(take_raised_exception());
      PyException_SetContext(panic.get(), pending.release());
      restore_raised_exception(panic.release());
    }
  } catch (...) {
    // The process cannot continue: no exception could be set for Python, and
    // returning without one would break the rule that a null result always
    // carries an exception, so the caller would run on with a lost fault.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void raise_panic_from_pending(const char* prefix) {
  ensure_exception_set();
  PyRef cause = PyRef::steal(take_raised_exception());
  PyRef cause_text = PyRef::steal(PyObject_Str(cause.get()));
  if (!cause_text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s: %U", prefix, cause_text.get()));
  if (!message) return;
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &length);
  if (utf8 == nullptr) return;
  raise_panic(std::string_view(utf8, std::size_t(length)));
  PyRef panic = PyRef::steal(take_raised_exception());
  if (panic && PyExceptionInstance_Check(panic.get())) PyException_SetCause(panic.get(), cause.release());
  restore_raised_exception(panic.release());
}

void raise_embedding_error(const EmbeddingError& error) {
  PyRef text = decode_text(error.display());
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// The texts below (type refusals, "<failed to extract type name>", the
// "while processing '...'" note) are part of the public contract: callers
// match them. Keep them byte for byte.
PyRef type_qualname(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (name) return name;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
}

void raise_type_refusal(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name = type_qualname(Py_TYPE(object));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void add_parameter_note(const char* name) {
  ensure_exception_set();
  PyRef exception = PyRef::steal(take_raised_exception());
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    PyRef added = PyRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  restore_raised_exception(exception.release());
}

}  // namespace graphripple::py
