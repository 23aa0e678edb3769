// Thread-local storage and the generation check behind thread_rng.
#include "random/thread_rng.h"

#include <atomic>

namespace graphripple {

namespace {
// Relaxed suffices: a thread only has to notice the change before its own
// next draw, and the fork child runs the handler on the only thread it has.
std::atomic<std::uint64_t> g_generation{0};

thread_local std::shared_ptr<ReseedingChaCha> t_state;
thread_local std::uint64_t t_generation = 0;
}  // namespace

ThreadRng thread_rng() {
  const std::uint64_t generation = g_generation.load(std::memory_order_relaxed);
  if (!t_state || t_generation != generation) {
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
  t_state = std::make_shared<ReseedingChaCha>(std::move(state));
  t_generation = g_generation.load(std::memory_order_relaxed);
}
}  // namespace detail

}  // namespace graphripple
