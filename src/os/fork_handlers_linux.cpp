// The fork-handler registry and its pthread_atfork dispatchers.
#include "os/fork_handlers.h"

#include <pthread.h>

#include <mutex>

namespace graphripple::detail {
namespace {

struct Handlers {
  ForkHandler prepare;
  ForkHandler in_parent;
  ForkHandler in_child;
};

struct Registry {
  std::mutex mutex;
  Handlers added[MAX_FORK_HANDLERS] = {};
  int count = 0;
  bool registered = false;
};

// Never destroyed: a fork may come while static objects are being torn down.
Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

void run_prepare() {
  Registry& r = registry();
  r.mutex.lock();  // released by run_in_parent or run_in_child
  for (int i = r.count; i-- > 0;)
    if (r.added[i].prepare != nullptr) r.added[i].prepare();
}

void run_in_parent() {
  Registry& r = registry();
  for (int i = 0; i < r.count; ++i)
    if (r.added[i].in_parent != nullptr) r.added[i].in_parent();
  r.mutex.unlock();
}

// In the child the forking thread is the only one, and it holds the lock.
void run_in_child() {
  Registry& r = registry();
  for (int i = 0; i < r.count; ++i)
    if (r.added[i].in_child != nullptr) r.added[i].in_child();
  r.mutex.unlock();
}

}  // namespace

bool add_fork_handlers(ForkHandler prepare, ForkHandler in_parent, ForkHandler in_child) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.count == MAX_FORK_HANDLERS) return false;
  if (!r.registered) {
    if (pthread_atfork(&run_prepare, &run_in_parent, &run_in_child) != 0) return false;
    r.registered = true;
  }
  r.added[r.count++] = {prepare, in_parent, in_child};
  return true;
}

}  // namespace graphripple::detail
