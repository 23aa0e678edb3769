// OsThread on pthreads (Linux) and the Win32 thread API.
#include "pool/os_thread.h"

#include <cerrno>
#include <cstdint>
#include <utility>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace graphripple::detail {
namespace {

struct StartArgs {
  OsThread::Entry entry;
  void* arg;
};

}  // namespace

OsThread::OsThread(OsThread&& other) noexcept
    : handle_(std::exchange(other.handle_, {})), started_(std::exchange(other.started_, false)) {}

OsThread& OsThread::operator=(OsThread&& other) noexcept {
  if (this != &other) {
    if (started_) join();
    handle_ = std::exchange(other.handle_, {});
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

OsThread::~OsThread() {
  if (started_) join();
}

#ifdef _WIN32

std::error_code OsThread::start(OsThread& thread, Entry entry, void* arg) {
  // _beginthreadex passes one pointer; entry and arg travel in a heap record
  // that the new thread frees.
  auto* args = new StartArgs{entry, arg};
  auto trampoline = [](void* raw) -> unsigned {
    StartArgs a = *static_cast<StartArgs*>(raw);
    delete static_cast<StartArgs*>(raw);
    a.entry(a.arg);
    return 0;
  };
  const std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(STACK_SIZE), trampoline, args,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    const int code = errno;
    delete args;
    return std::error_code(code, std::generic_category());
  }
  thread.handle_ = reinterpret_cast<void*>(handle);
  thread.started_ = true;
  return {};
}

void OsThread::join() {
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(static_cast<HANDLE>(handle_));
  started_ = false;
}

#else

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
  static_assert(sizeof(pthread_t) <= sizeof(thread.handle_));
  thread.handle_ = static_cast<unsigned long>(handle);
  thread.started_ = true;
  return {};
}

void OsThread::join() {
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

#endif

}  // namespace graphripple::detail
