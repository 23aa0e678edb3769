// Matching fast-call arguments to a function's parameters.
//
// Every parameter may be given by position or by keyword; the first
// `required` parameters must be given. Errors are the interpreter's usual
// TypeError texts, prefixed with "NAME()".
#pragma once

#include <cstddef>
#include <span>

#include "module/python_ref.h"

namespace graphripple::py {

struct Signature {
  const char* name;                      ///< function name, used in messages
  std::span<const char* const> params;   ///< parameter names, in order
  std::size_t required;                  ///< leading parameters without a default
};

/// Fills slots[i] (borrowed from the argument vector, valid for the call)
/// with the value of parameter i, or null when it was not given. Returns
/// false with TypeError set on too many positional arguments, an unknown or
/// repeated keyword, or a missing required parameter.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

}  // namespace graphripple::py
