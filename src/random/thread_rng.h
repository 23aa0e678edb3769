// thread_rng: the entropy-keyed generator of the calling thread.
//
// Supplies the base seed of a projection when the caller gave none. The
// state is created on the thread's first use from 32 bytes of the OS
// source, kept in thread-local storage and destroyed at thread exit.
// - Use only on the thread that obtained the handle.
// - A process-wide generation number lets every thread's state be
//   discarded at once (after fork(), the child must not replay the parent's
//   stream); a stale state is rekeyed from the OS on the next thread_rng().
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "random/reseeding_chacha.h"

namespace graphripple {

/// Reference to the calling thread's ReseedingChaCha. It shares ownership,
/// so the state outlives a handle only as long as the handle is held.
class ThreadRng {
 public:
  std::uint64_t next_u64() { return state_->next_u64(); }

 private:
  friend ThreadRng thread_rng();
  explicit ThreadRng(std::shared_ptr<ReseedingChaCha> state) : state_(std::move(state)) {}
  std::shared_ptr<ReseedingChaCha> state_;
};

/// The calling thread's generator, created (or recreated after
/// detail::invalidate_thread_rngs) from the OS source first if needed.
/// Throws InternalFault "could not initialize thread_rng: OS Error: <code>"
/// when the OS source fails.
ThreadRng thread_rng();

namespace detail {
/// Makes every thread discard its generator and key a new one from the OS
/// on its next thread_rng(). Async-signal-safe (one atomic increment), so
/// it may serve as the child handler of pthread_atfork.
void invalidate_thread_rngs() noexcept;
/// Replaces the calling thread's generator with `state`, so tests can make
/// its draws known in advance.
void replace_thread_rng(ReseedingChaCha state);
}  // namespace detail

}  // namespace graphripple
