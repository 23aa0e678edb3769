// Minimal owned OS thread with an explicit stack size.
//
// - Worker threads get a fixed 2 MiB stack, whatever the system default
//   (8 MiB on most Linux systems), and no name.
// - Starting reports failure as an error code instead of throwing, so the
//   pool can turn it into its own fault text; tests substitute a failing
//   starter through the ThreadStartFn seam.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <system_error>

namespace graphripple::detail {

class OsThread {
 public:
  static constexpr std::size_t STACK_SIZE = 2 * 1024 * 1024;
  using Entry = void (*)(void* arg);

  OsThread() = default;
  OsThread(OsThread&& other) noexcept;
  OsThread& operator=(OsThread&& other) noexcept;
  // A thread has one joiner; copies would join twice.
  OsThread(const OsThread&) = delete;
  OsThread& operator=(const OsThread&) = delete;
  /// Joins a still-running thread, so a thread never outlives its owner.
  ~OsThread();

  /// Starts entry(arg) on a new thread with a STACK_SIZE stack.
  static std::error_code start(OsThread& thread, Entry entry, void* arg);
  void join();
  bool joinable() const { return started_; }

 private:
  pthread_t handle_{};
  bool started_ = false;
};

/// How the pool starts its workers; OsThread::start outside tests.
using ThreadStartFn = std::error_code (*)(OsThread& thread, OsThread::Entry entry, void* arg);

}  // namespace graphripple::detail
