// join: run two tasks, potentially in parallel, and return when both are done.
//
// - On a worker: the second task is queued where idle workers may steal it,
//   the first runs at once; then the second is taken back if nobody stole it,
//   else the worker runs other jobs until the thief finishes it.
// - An exception from either task is re-thrown only after both have
//   finished (the second task lives on this stack frame); when both throw,
//   the first task's exception wins.
// - Outside a worker, join runs on the process-wide pool and blocks.
#pragma once

#include <exception>
#include <utility>

#include "pool/job.h"
#include "pool/latch.h"
#include "pool/thread_pool.h"

namespace graphripple {
namespace detail {

/// The stealable half of a join; lives on the joining worker's stack.
template <class F>
class JoinJob : public Job {
 public:
  JoinJob(Worker& owner, F& f) : Job(&JoinJob::run_stolen), f_(&f), latch_(owner) {}

  const WorkerLatch& latch() const { return latch_; }
  std::exception_ptr& error() { return error_; }

  /// Runs the task on its own worker after taking it back.
  void run_inline(Worker& worker) {
    try {
      (*f_)(worker, false);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

 private:
  static void run_stolen(Job* job, Worker& worker) noexcept {
    auto* self = static_cast<JoinJob*>(job);
    // A piece counts as moved when it runs on another worker than the one
    // that created it; loop splitting renews its budget then.
    const bool migrated = &worker != &self->latch_.owner();
    try {
      (*self->f_)(worker, migrated);
    } catch (...) {
      self->error_ = std::current_exception();
    }
    self->latch_.set();
  }

  F* f_;
  WorkerLatch latch_;
  std::exception_ptr error_;
};

/// join on `worker` for tasks callable as `void(Worker& runner, bool migrated)`;
/// `migrated` tells a task whether it runs on another worker than `worker`.
template <class A, class B>
void join_context(Worker& worker, A&& a, B&& b) {
  JoinJob<std::remove_reference_t<B>> job_b(worker, b);
  worker.push(&job_b);
  std::exception_ptr a_error;
  try {
    a(worker, false);
  } catch (...) {
    a_error = std::current_exception();
  }
  if (worker.take_back_or_wait(&job_b, job_b.latch())) job_b.run_inline(worker);
  if (a_error) std::rethrow_exception(a_error);
  if (job_b.error()) std::rethrow_exception(job_b.error());
}

}  // namespace detail

/// Runs a() and b(), potentially in parallel, and returns when both are done.
/// Re-throws the exception of a, else of b, after both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
  auto task_a = [&a](detail::Worker&, bool) { a(); };
  auto task_b = [&b](detail::Worker&, bool) { b(); };
  if (detail::Worker* worker = detail::current_worker()) {
    detail::join_context(*worker, task_a, task_b);
    return;
  }
  auto op = [&](detail::Worker& w) { detail::join_context(w, task_a, task_b); };
  global_pool().run_on_worker(op);
}

}  // namespace graphripple
