// fork() and thread_rng: a child starts with a copy of its parent's
// generator, and must key a new one rather than draw the values the parent
// is about to draw. The child's draws come back through a pipe.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "random/thread_rng.h"

namespace graphripple {
namespace {

constexpr std::size_t DRAWS = 4;
using Draws = std::array<std::uint64_t, DRAWS>;

Draws draw() {
  Draws values{};
  for (auto& value : values) value = thread_rng().next_u64();
  return values;
}

// Draws in a forked child (under an alarm) and returns its values; fails
// the test if the child does not deliver them.
Draws draws_of_forked_child() {
  int fds[2];
  Draws values{};
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return values;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    close(fds[0]);
    const Draws child = draw();
    const bool sent = write(fds[1], child.data(), sizeof child) == ssize_t(sizeof child);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  EXPECT_GT(pid, 0) << "fork failed";
  if (pid > 0) {
    EXPECT_EQ(read(fds[0], values.data(), sizeof values), ssize_t(sizeof values)) << "child sent no draws";
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  close(fds[0]);
  return values;
}

bool share_a_value(const Draws& a, const Draws& b) {
  return std::any_of(a.begin(), a.end(), [&](std::uint64_t v) { return std::find(b.begin(), b.end(), v) != b.end(); });
}

TEST(thread_rng_fork, parent_and_child_draw_different_streams) {
  draw();  // the parent's generator exists and has been used before the fork
  const Draws child = draws_of_forked_child();
  const Draws parent = draw();
  EXPECT_FALSE(share_a_value(parent, child));
}

TEST(thread_rng_fork, two_children_of_one_parent_differ) {
  draw();
  const Draws first = draws_of_forked_child();
  const Draws second = draws_of_forked_child();
  EXPECT_FALSE(share_a_value(first, second));
}

TEST(thread_rng_fork, known_generator_is_not_replayed_in_the_child) {
  // A parent generator with a known key: without rekeying, the child's
  // first draw would be this key's first value.
  ReseedingChaCha::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  detail::replace_thread_rng(ReseedingChaCha(seed, &fill_os_random));
  const Draws child = draws_of_forked_child();
  EXPECT_NE(child[0], 0x5ec67ad1fff931f2ull);
  EXPECT_EQ(thread_rng().next_u64(), 0x5ec67ad1fff931f2ull);  // the parent keeps its stream
}

}  // namespace
}  // namespace graphripple
