// The fork-handler registry: pthread_atfork's order for every handler added,
// null handlers skipped, and a full registry refusing more. The registry is
// process-wide, so one test walks all of it in order.
#include "os/fork_handlers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace graphripple {
namespace {

// What the handlers ran, in order; fork copies it into the child.
std::string g_trace;

template <char C>
void record() {
  g_trace += C;
}

TEST(fork_handlers, run_in_pthread_atfork_order_and_refuse_when_full) {
  // Handlers a (prepare A, parent a, child 1) and b (prepare B, child 2, no
  // parent handler): prepare runs newest first, the others oldest first.
  ASSERT_TRUE(detail::add_fork_handlers(&record<'A'>, &record<'a'>, &record<'1'>));
  ASSERT_TRUE(detail::add_fork_handlers(&record<'B'>, nullptr, &record<'2'>));
  g_trace.clear();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(g_trace == "BA12" ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child saw the wrong order";
  EXPECT_EQ(g_trace, "BAa");

  for (int added = 2; added < detail::MAX_FORK_HANDLERS; ++added)
    EXPECT_TRUE(detail::add_fork_handlers(nullptr, nullptr, nullptr));
  EXPECT_FALSE(detail::add_fork_handlers(&record<'X'>, &record<'x'>, &record<'9'>));
  g_trace.clear();
  const pid_t second = fork();
  ASSERT_GE(second, 0);
  if (second == 0) _exit(g_trace == "BA12" ? 0 : 1);
  ASSERT_EQ(waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a refused handler ran in the child";
  EXPECT_EQ(g_trace, "BAa");
}

}  // namespace
}  // namespace graphripple
