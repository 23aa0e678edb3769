// One pthread_atfork registration for the whole library.
//
// Subsystems whose process-wide state a forked child must not use as it
// finds it (the worker pool, the per-thread generators) add their handlers
// here; the first addition registers the dispatchers with pthread_atfork.
// - Handlers run as pthread_atfork's own would: prepare handlers in reverse
//   order of addition, parent and child handlers in order of addition.
// - The registry's lock is held from the prepare step until the parent or
//   child step, so an addition never runs across a fork.
// Linux: fork_handlers_linux.cpp. Windows has no fork; its source accepts
// every addition and keeps none (fork_handlers_windows.cpp).
#pragma once

namespace graphripple::detail {

using ForkHandler = void (*)();

/// Most additions the registry holds; each subsystem adds once.
inline constexpr int MAX_FORK_HANDLERS = 4;

/// Adds handlers run around every later fork(); any of them may be null.
/// Returns false, adding nothing, when the registry is full or
/// pthread_atfork fails (it only fails for lack of memory). Always true on
/// Windows.
bool add_fork_handlers(ForkHandler prepare, ForkHandler in_parent, ForkHandler in_child);

}  // namespace graphripple::detail
