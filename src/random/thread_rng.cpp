// Thread-local storage and the generation check behind thread_rng.
#include "random/thread_rng.h"

#include <atomic>

#include "os/fork_handlers.h"

namespace graphripple {

namespace {
// Relaxed suffices: a thread only has to notice the change before its own
// next draw, and the fork child runs the handler on the only thread it has.
std::atomic<std::uint64_t> g_generation{0};

thread_local std::shared_ptr<ReseedingChaCha> t_state;
thread_local std::uint64_t t_generation = 0;

// A forked child starts with a copy of its parent's generators; the child
// handler bumps the generation so the child keys fresh ones instead of
// replaying the parent's stream. Registered once, before the first state
// exists: a process that never made one has nothing a child could replay.
// Adding the handler only fails for lack of memory, and then so would the
// state's own allocation right after.
void register_fork_handler() {
  static const bool registered = [] {
    detail::add_fork_handlers(nullptr, nullptr, [] { detail::invalidate_thread_rngs(); });
    return true;
  }();
  (void)registered;
}
}  // namespace

ThreadRng thread_rng() {
  const std::uint64_t generation = g_generation.load(std::memory_order_relaxed);
  if (!t_state || t_generation != generation) {
    register_fork_handler();
    // Built completely before it replaces anything: a failing OS source
    // leaves the thread's previous state (if any) as it was.
    auto state = std::make_shared<ReseedingChaCha>(ReseedingChaCha::from_source(&fill_os_random));
    t_state = std::move(state);
    t_generation = generation;
  }
  return ThreadRng(t_state);
}

namespace detail {
void invalidate_thread_rngs() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

void replace_thread_rng(ReseedingChaCha state) {
  register_fork_handler();
  t_state = std::make_shared<ReseedingChaCha>(std::move(state));
  t_generation = g_generation.load(std::memory_order_relaxed);
}
}  // namespace detail

}  // namespace graphripple
