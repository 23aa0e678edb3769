// thread_rng: per-thread state, lifetime of handles, and the invalidation
// hook that makes every thread rekey.
#include "random/thread_rng.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace graphripple {
namespace {

ReseedingChaCha counting_generator() {
  ReseedingChaCha::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  return ReseedingChaCha(seed, &fill_os_random);
}

TEST(thread_rng, handles_on_one_thread_share_one_stream) {
  detail::replace_thread_rng(counting_generator());
  EXPECT_EQ(thread_rng().next_u64(), 0x5ec67ad1fff931f2ull);
  ThreadRng held = thread_rng();
  EXPECT_EQ(held.next_u64(), 0xaa40e9d725f30544ull);
  EXPECT_EQ(thread_rng().next_u64(), 0xbc46bec21f601349ull);
}

TEST(thread_rng, threads_draw_from_independent_keys) {
  // Fresh threads key themselves from the OS: their first draws differ.
  constexpr int THREADS = 8;
  std::vector<std::uint64_t> first(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) threads.emplace_back([&first, t] { first[t] = thread_rng().next_u64(); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::uint64_t>(first.begin(), first.end()).size(), std::size_t{THREADS});
}

TEST(thread_rng, invalidation_rekeys_every_thread_but_spares_held_handles) {
  detail::replace_thread_rng(counting_generator());
  ThreadRng held = thread_rng();
  detail::invalidate_thread_rngs();
  // The new state is keyed from the OS, not from the known counting key.
  EXPECT_NE(thread_rng().next_u64(), 0x5ec67ad1fff931f2ull);
  // A handle taken before keeps its own (old) state alive and consistent.
  EXPECT_EQ(held.next_u64(), 0x5ec67ad1fff931f2ull);
}

}  // namespace
}  // namespace graphripple
