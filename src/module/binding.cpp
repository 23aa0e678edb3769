// Argument binding for METH_FASTCALL | METH_KEYWORDS functions.
//
// Checks run in the interpreter's own order: surplus positional arguments,
// then each keyword (unknown, or already given by position), then the
// required parameters still empty, all named in one message.
//
// The argument-binding error texts below follow CPython's own wording and
// are part of the module's public contract: callers match them.
#include "module/binding.h"

#include <string>
#include <vector>

namespace graphripple::py {

namespace {

// Index of the parameter named `keyword`, or params.size().
std::size_t find_parameter(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.params[i]) == 0) return i;
  }
  return signature.params.size();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) text += "and ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const std::size_t count = signature.params.size();
  for (PyObject*& slot : slots) slot = nullptr;

  if (std::size_t(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                 signature.name, signature.required, count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[std::size_t(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = find_parameter(signature, keyword);
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.name, keyword);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.params[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.name,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  return true;
}

}  // namespace graphripple::py
