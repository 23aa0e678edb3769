// Scalar, boolean, float-sequence and adjacency-list conversions.
//
// A sequence's length is only a capacity hint: a __len__ that fails, lies or
// reports an absurd size must not make the module reserve gigabytes, so the
// hint is capped and vectors grow while iterating past it.
//
// The error texts raised here are part of the module's public contract:
// callers match them, so keep each one byte for byte.
#include "module/conversion.h"

#include <algorithm>
#include <cstring>

#include "module/errors.h"

namespace graphripple::py {

namespace {

// Largest number of elements reserved up front from a sequence's length.
constexpr Py_ssize_t MAX_RESERVED_FROM_LENGTH = Py_ssize_t{1} << 16;

std::size_t capacity_hint(PyObject* sequence) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();  // a failing __len__ only costs the reservation
    return 0;
  }
  return std::size_t(std::min(length, MAX_RESERVED_FROM_LENGTH));
}

// The type test shared by both sequence kinds.
bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_type_refusal(object, "Sequence");
    return false;
  }
  return true;
}

// Iterates `sequence`, calling item_fn(item) -> bool for each item until one
// fails. False when the iteration or an item failed.
template <class ItemFn>
bool for_each_item(PyObject* sequence, ItemFn&& item_fn) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!item_fn(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool has_name(PyObject* text, std::initializer_list<const char*> names) {
  if (text == nullptr || !PyUnicode_Check(text)) return false;
  for (const char* name : names) {
    if (PyUnicode_CompareWithASCIIString(text, name) == 0) return true;
  }
  return false;
}

// NumPy's scalar boolean is called numpy.bool (NumPy 2) or numpy.bool_.
// Recognised by name so that NumPy need not be imported to test it.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return has_name(module.get(), {"numpy"}) && has_name(name.get(), {"bool_", "bool"});
}

bool convert_pair(PyObject* item, AdjacencyRow& row) {
  if (!PyTuple_Check(item)) {
    raise_type_refusal(item, "tuple");
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(item);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return false;
  }
  std::uint64_t target = 0;
  double weight = 0.0;
  if (!convert_unsigned(PyTuple_GET_ITEM(item, 0), target)) return false;
  if (!convert_float(PyTuple_GET_ITEM(item, 1), weight)) return false;
  row.emplace_back(target, weight);
  return true;
}

bool convert_adjacency_row(PyObject* object, AdjacencyRow& row) {
  if (!check_sequence(object)) return false;
  const std::size_t hint = capacity_hint(object);
  row.reserve(hint);
  if (!for_each_item(object, [&row](PyObject* item) { return convert_pair(item, row); })) return false;
  // Only a __len__ that overstated the length leaves spare room; give it back
  // so that many such rows cannot pile up reserved memory.
  if (row.size() < hint) row.shrink_to_fit();
  return true;
}

}  // namespace

bool convert_unsigned(PyObject* object, std::uint64_t& out) {
  PyRef index;
  PyObject* integer = object;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    integer = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_bool(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (object == Py_None || !is_numpy_bool_type(type)) {
    raise_type_refusal(object, "bool");
    return false;
  }
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    PyRef name = type_qualname(type);
    if (name)
      PyErr_Format(PyExc_AttributeError, "object of type '%U' does not define a '__bool__' conversion",
                   name.get());
    return false;
  }
  const int truth = type->tp_as_number->nb_bool(object);
  if (truth == 0 || truth == 1) {
    out = truth == 1;
    return true;
  }
  ensure_exception_set();
  return false;
}

bool convert_float(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_float_sequence(PyObject* object, std::vector<double>& out) {
  out.clear();
  if (!check_sequence(object)) return false;
  out.reserve(capacity_hint(object));
  return for_each_item(object, [&out](PyObject* item) {
    double value = 0.0;
    if (!convert_float(item, value)) return false;
    out.push_back(value);
    return true;
  });
}

bool convert_adjacency_list(PyObject* object, AdjacencyList& out) {
  out.clear();
  if (!check_sequence(object)) return false;
  out.reserve(capacity_hint(object));
  const bool converted = for_each_item(object, [&out](PyObject* item) {
    AdjacencyRow row;
    if (!convert_adjacency_row(item, row)) return false;
    out.push_back(std::move(row));
    return true;
  });
  if (!converted) out = AdjacencyList();  // nothing partial survives a failure
  return converted;
}

}  // namespace graphripple::py
