// The unit of work that the pool's queues carry.
//
// - A Job is a pointer-sized handle: queues store Job* in single atomic words,
//   so the lock-free queues need no double-width operations.
// - Jobs live on the stack of the thread that waits for them; a queue never
//   owns or frees one.
#pragma once

namespace graphripple::detail {

class Worker;

/// Base of every queued job. `run` is called exactly once, on a worker; after
/// it signals completion the job may be destroyed by its waiting owner, so
/// `run` must not touch the job after that point.
struct Job {
  using RunFn = void (*)(Job* job, Worker& worker) noexcept;
  explicit Job(RunFn run_fn) : run(run_fn) {}
  RunFn run;
};

}  // namespace graphripple::detail
