// Minimal owned OS thread with an explicit stack size: pthreads on Linux
// (os_thread_linux.cpp), _beginthreadex on Windows (os_thread_windows.cpp).
//
// - Worker threads get a fixed 2 MiB stack, whatever the system default
//   (8 MiB on most Linux systems, 1 MiB on Windows), and no name.
// - Starting reports failure as an error code instead of throwing, so the
//   pool can turn it into its own fault text; tests substitute a failing
//   starter through the ThreadStartFn seam.
#pragma once

#include <cstddef>
#include <cstdint>
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
  // The thread's handle (pthread_t, or the Windows thread HANDLE), stored
  // as an integer so this header needs no OS header.
  std::uintptr_t handle_ = 0;
  bool started_ = false;
};

/// How the pool starts its workers; OsThread::start outside tests.
using ThreadStartFn = std::error_code (*)(OsThread& thread, OsThread::Entry entry, void* arg);

}  // namespace graphripple::detail
