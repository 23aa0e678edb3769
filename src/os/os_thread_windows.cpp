// OsThread on Windows: _beginthreadex, so the C runtime's per-thread state is
// set up and freed with the thread, and a wait on the handle to join.
#include <windows.h>

#include <process.h>

#include <cerrno>

#include "os/os_thread.h"

namespace graphripple::detail {
namespace {

struct StartArgs {
  OsThread::Entry entry;
  void* arg;
};

unsigned __stdcall run_entry(void* raw) {
  const StartArgs a = *static_cast<StartArgs*>(raw);
  delete static_cast<StartArgs*>(raw);
  a.entry(a.arg);
  return 0;
}

}  // namespace

std::error_code OsThread::start(OsThread& thread, Entry entry, void* arg) {
  auto* args = new StartArgs{entry, arg};
  // The size is the stack's reservation, as on Linux, not memory committed
  // up front.
  const std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(STACK_SIZE), &run_entry, args,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    const int error = errno;
    delete args;
    return std::error_code(error != 0 ? error : EAGAIN, std::generic_category());
  }
  thread.handle_ = handle;
  thread.started_ = true;
  return {};
}

void OsThread::join() {
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  started_ = false;
}

}  // namespace graphripple::detail
