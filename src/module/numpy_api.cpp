// Fetching and checking NumPy's C interface table on first use.
//
// The table is a static array inside NumPy's multiarray extension, so every
// thread that fetches it gets the same pointer. Racing first calls each
// import and check, then publish with one compare-exchange; no lock is held
// across the import, which may run arbitrary Python code and switch threads.
#include "module/numpy_api.h"

#include <atomic>

#include "module/errors.h"

namespace graphripple::py {

namespace {

// Acquire on load pairs with the release of the publishing compare-exchange.
std::atomic<void**> g_table{nullptr};

constexpr const char* CAPSULE_FAILURE = "Failed to access NumPy array API capsule";

// Positions in the table of the version and byte-order queries (the slots
// behind PyArray_GetNDArrayCVersion, PyArray_GetEndianness and
// PyArray_GetNDArrayCFeatureVersion), stable across NumPy 1.x and 2.x. They
// are called before the table is published, so the macros cannot be used.
constexpr int ABI_VERSION_SLOT = 0;
constexpr int ENDIANNESS_SLOT = 210;
constexpr int FEATURE_VERSION_SLOT = 211;

PyRef import_multiarray() {
  // NumPy 2 moved the package to numpy._core; NumPy 1 has numpy.core.
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
  if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    module = PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
  }
  return module;
}

// The table behind the capsule, or null with an exception describing why.
void** fetch_checked_table() {
  PyRef module = import_multiarray();
  if (!module) return nullptr;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
    return nullptr;
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return nullptr;
  const auto abi_version = reinterpret_cast<unsigned int (*)()>(table[ABI_VERSION_SLOT])();
  if (abi_version > NPY_ABI_VERSION) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this NumPy is 0x%x",
                 unsigned(NPY_ABI_VERSION), abi_version);
    return nullptr;
  }
  const auto feature_version = reinterpret_cast<unsigned int (*)()>(table[FEATURE_VERSION_SLOT])();
  if (feature_version < NPY_FEATURE_VERSION) {
    PyErr_Format(PyExc_RuntimeError,
                 "module compiled against NumPy C-API version 0x%x but this NumPy has 0x%x",
                 unsigned(NPY_FEATURE_VERSION), feature_version);
    return nullptr;
  }
  const int endianness = reinterpret_cast<int (*)()>(table[ENDIANNESS_SLOT])();
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
  const bool endianness_matches = endianness == NPY_CPU_BIG;
#else
  const bool endianness_matches = endianness == NPY_CPU_LITTLE;
#endif
  if (!endianness_matches) {
    PyErr_SetString(PyExc_RuntimeError, "NumPy's byte order differs from the one this module was built for");
    return nullptr;
  }
  return table;
}

}  // namespace

void** numpy_table() noexcept { return g_table.load(std::memory_order_acquire); }

bool acquire_numpy_api() {
  if (numpy_table() != nullptr) return true;
  void** table = fetch_checked_table();
  if (table == nullptr) {
    raise_panic_from_pending(CAPSULE_FAILURE);
    return false;
  }
  void** expected = nullptr;
  // Every candidate is the same pointer; the exchange only makes the first
  // store the single visible write.
  g_table.compare_exchange_strong(expected, table, std::memory_order_acq_rel, std::memory_order_acquire);
  return true;
}

}  // namespace graphripple::py
