// OsThread ownership, the same on every OS; starting and joining live in
// os_thread_linux.cpp and os_thread_windows.cpp.
#include "os/os_thread.h"

#include <utility>

namespace graphripple::detail {

OsThread::OsThread(OsThread&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), started_(std::exchange(other.started_, false)) {}

OsThread& OsThread::operator=(OsThread&& other) noexcept {
  if (this != &other) {
    if (started_) join();
    handle_ = std::exchange(other.handle_, 0);
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

OsThread::~OsThread() {
  if (started_) join();
}

}  // namespace graphripple::detail
