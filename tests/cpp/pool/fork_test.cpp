// fork() after the process-wide pool exists: the child has none of the
// parent's worker threads, so it must build its own pool on first use
// instead of handing loops to workers that are not there.
//
// Each child runs with an alarm, so a hang ends it with SIGALRM and fails
// the test rather than blocking the suite; it reports through its exit
// status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pool/worker_pool.h"

#if defined(__SANITIZE_THREAD__)
#define GRAPHRIPPLE_UNDER_TSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define GRAPHRIPPLE_UNDER_ASAN 1
#endif
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GRAPHRIPPLE_UNDER_TSAN 1
#endif
#if __has_feature(address_sanitizer)
#define GRAPHRIPPLE_UNDER_ASAN 1
#endif
#endif

namespace graphripple {
namespace {

constexpr unsigned CHILD_SECONDS = 20;

// Every row of a loop over n rows ran exactly once.
bool loop_runs_every_row_once(std::size_t n) {
  std::vector<std::atomic<int>> hits(n);
  parallel_for_rows(n, [&](std::size_t row) { hits[row].fetch_add(1, std::memory_order_relaxed); });
  for (const auto& hit : hits)
    if (hit.load() != 1) return false;
  return true;
}

// Runs `child` in a forked process under an alarm; returns a description
// of how the child ended ("" when it exited with status 0).
template <class F>
std::string run_in_child(F child) {
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    alarm(CHILD_SECONDS);
    _exit(child() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (WIFSIGNALED(status))
    return WTERMSIG(status) == SIGALRM ? "child hung" : "child died of signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) != 0) return "child failed with status " + std::to_string(WEXITSTATUS(status));
  return "";
}

class pool_fork : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef GRAPHRIPPLE_UNDER_TSAN
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#endif
#ifdef GRAPHRIPPLE_UNDER_ASAN
    // Both the parent's and the child's workers exist at each fork, and
    // AddressSanitizer does not hold its allocator and thread-registry locks
    // across fork: CI saw children of either case hang now and then. The
    // plain build runs the suite.
    GTEST_SKIP() << "AddressSanitizer does not hold its locks across fork; the plain build runs this suite";
#endif
  }
};

TEST_F(pool_fork, child_builds_its_own_pool_and_finishes_loops) {
  ASSERT_TRUE(loop_runs_every_row_once(1000));  // the parent's workers are running
  WorkerPool* parent_pool = &global_pool();
  EXPECT_EQ(run_in_child([&] {
              // Several loops, the second through a fresh pool of the same size,
              // and the pool is a new one rather than the parent's copy.
              return loop_runs_every_row_once(1000) && loop_runs_every_row_once(37) &&
                     &global_pool() != parent_pool && current_num_threads() == parent_pool->num_threads();
            }),
            "");
  // The parent's pool is untouched by the fork.
  EXPECT_EQ(&global_pool(), parent_pool);
  EXPECT_TRUE(loop_runs_every_row_once(1000));
}

TEST_F(pool_fork, grandchild_of_a_forked_child_also_gets_a_pool) {
  ASSERT_TRUE(loop_runs_every_row_once(100));
  EXPECT_EQ(run_in_child([] {
              return loop_runs_every_row_once(100) &&
                     run_in_child([] { return loop_runs_every_row_once(100); }).empty();
            }),
            "");
}

TEST_F(pool_fork, fork_while_other_threads_use_and_create_the_pool) {
  // Other threads start using the pool (the first of them may be creating
  // it) while this thread forks repeatedly; no child may inherit the
  // holder's lock held by a thread it does not have.
  std::atomic<bool> stop{false};
  std::vector<std::thread> users;
  for (int t = 0; t < 2; ++t)
    users.emplace_back([&] {
      while (!stop.load()) loop_runs_every_row_once(64);
    });
  std::string outcome;
  for (int round = 0; round < 20 && outcome.empty(); ++round)
    outcome = run_in_child([] { return loop_runs_every_row_once(64); });
  stop = true;
  for (auto& user : users) user.join();
  EXPECT_EQ(outcome, "");
}

}  // namespace
}  // namespace graphripple
