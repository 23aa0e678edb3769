// OsThread on pthreads.
#include "os/os_thread.h"

#include <utility>

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
  thread.handle_ = handle;
  thread.started_ = true;
  return {};
}

void OsThread::join() {
  pthread_join(handle_, nullptr);
  started_ = false;
}

}  // namespace graphripple::detail
