// PySliceContainer and the zero-copy result array.
//
// - The container type is a heap type named "builtins.PySliceContainer",
//   created on first use and never added to the module. Python code cannot
//   instantiate it (no tp_new) or subclass it, so every container that
//   exists was made here with its release function set.
// - Racing first calls each build a type and publish it with one
//   compare-exchange; the loser drops its own type, which has no instances.
// - Views of a result keep the result (and so its container) alive; the
//   buffer is freed when the last array that uses it goes.
#include "module/result_array.h"

#include <atomic>
#include <cstdint>
#include <limits>

#include "module/errors.h"
#include "module/numpy_api.h"

namespace graphripple::py {

namespace {

/// Frees a buffer given its pointer, element count in use and capacity.
using ReleaseFunction = void (*)(void* data, std::uint64_t length, std::uint64_t capacity) noexcept;

struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::uint64_t length;
  std::uint64_t capacity;
  ReleaseFunction release;
};

void release_float_buffer(void* data, std::uint64_t /*length*/, std::uint64_t capacity) noexcept {
  LargeBuffer<float>::release_raw(static_cast<float*>(data), capacity);
}

void container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // The release function is noexcept and cannot fail, so there is nothing
  // to report through the unraisable hook.
  if (container->release != nullptr) container->release(container->data, container->length, container->capacity);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr const char* CONTAINER_DOC =
    "Utility type that safely keeps a natively allocated buffer alive on the Python heap.";

PyType_Slot g_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_doc, const_cast<char*>(CONTAINER_DOC)},
    {0, nullptr},
};

PyType_Spec g_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    g_container_slots,
};

// Acquire on load pairs with the release of the publishing exchange.
std::atomic<PyTypeObject*> g_container_type{nullptr};

PyTypeObject* container_type() {
  if (PyTypeObject* known = g_container_type.load(std::memory_order_acquire)) return known;
  return publish_once(g_container_type, reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_container_spec)));
}

// Data pointer for empty results. NumPy would allocate (and own) a buffer of
// its own if given null; an empty array never reads or writes through it.
alignas(64) float g_empty_result[1];

}  // namespace

PyObject* wrap_matrix(MatrixF32 matrix) {
  constexpr auto MAX_EXTENT = std::uint64_t(std::numeric_limits<npy_intp>::max());
  if (matrix.rows > MAX_EXTENT || matrix.cols > MAX_EXTENT) {
    // The engine refuses such shapes before it allocates anything.
    raise_panic("result shape does not fit NumPy's index type");
    return nullptr;
  }
  if (!acquire_numpy_api()) return nullptr;
  PyTypeObject* type = container_type();
  if (type == nullptr) {
    raise_panic_from_pending("Failed to create slice container type");
    return nullptr;
  }
  PyRef owner = PyRef::steal(PyType_GenericAlloc(type, 0));
  if (!owner) {
    raise_panic_from_pending("Failed to create slice container");
    return nullptr;  // `matrix` still owns the buffer and frees it
  }
  auto* container = reinterpret_cast<SliceContainer*>(owner.get());
  const bool empty = matrix.rows == 0 || matrix.cols == 0;
  container->length = matrix.rows * matrix.cols;
  container->capacity = matrix.data.size();
  container->data = matrix.data.release();
  container->release = release_float_buffer;

  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (float32 == nullptr) return nullptr;
  const npy_intp shape[2] = {npy_intp(matrix.rows), npy_intp(matrix.cols)};
  const npy_intp item = sizeof(float);
  const npy_intp strides[2] = {empty ? 0 : shape[1] * item, empty ? 0 : item};
  void* data = empty ? static_cast<void*>(g_empty_result) : container->data;
  // NewFromDescr takes over `float32` whatever happens.
  PyRef array = PyRef::steal(
      PyArray_NewFromDescr(&PyArray_Type, float32, 2, shape, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;  // dropping `owner` frees the buffer
  // SetBaseObject takes over the container's reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) return nullptr;
  return array.release();
}

}  // namespace graphripple::py
