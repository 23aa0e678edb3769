// OsThread on pthreads.
#include <pthread.h>

#include <cstring>

#include "os/os_thread.h"

namespace graphripple::detail {
namespace {

struct StartArgs {
  OsThread::Entry entry;
  void* arg;
};

// pthread_t is an integer or a pointer, depending on the C library.
static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

std::uintptr_t to_stored(pthread_t handle) {
  std::uintptr_t stored = 0;
  std::memcpy(&stored, &handle, sizeof handle);
  return stored;
}

pthread_t from_stored(std::uintptr_t stored) {
  pthread_t handle{};
  std::memcpy(&handle, &stored, sizeof handle);
  return handle;
}

}  // namespace

std::error_code OsThread::start(OsThread& thread, Entry entry, void* arg) {
  pthread_attr_t attr;
  if (const int rc = pthread_attr_init(&attr); rc != 0) return std::error_code(rc, std::generic_category());
  int rc = pthread_attr_setstacksize(&attr, STACK_SIZE);
  auto* args = new StartArgs{entry, arg};
  pthread_t handle{};
  if (rc == 0) {
    rc = pthread_create(
        &handle, &attr,
        [](void* raw) -> void* {
          const StartArgs a = *static_cast<StartArgs*>(raw);
          delete static_cast<StartArgs*>(raw);
          a.entry(a.arg);
          return nullptr;
        },
        args);
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete args;
    return std::error_code(rc, std::generic_category());
  }
  thread.handle_ = to_stored(handle);
  thread.started_ = true;
  return {};
}

void OsThread::join() {
  pthread_join(from_stored(handle_), nullptr);
  started_ = false;
}

}  // namespace graphripple::detail
