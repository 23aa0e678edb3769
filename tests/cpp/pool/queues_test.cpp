// The two lock-free queues: order, growth, and every job taken exactly once
// under concurrent producers and consumers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pool/injector_queue.h"
#include "pool/work_queue.h"

namespace graphripple::detail {
namespace {

// Jobs are only compared by address here; they are never run.
std::vector<Job> make_jobs(std::size_t n) { return std::vector<Job>(n, Job(nullptr)); }

std::size_t index_of(const std::vector<Job>& jobs, const Job* job) { return static_cast<std::size_t>(job - jobs.data()); }

TEST(work_queue, owner_pops_newest_thief_steals_oldest_across_growth) {
  auto jobs = make_jobs(300);  // several doublings of a 4-slot ring
  WorkQueue queue(4);
  for (Job& job : jobs) queue.push(&job);
  EXPECT_EQ(queue.steal().job, &jobs[0]);
  EXPECT_EQ(queue.pop(), &jobs[299]);
  EXPECT_EQ(queue.steal().job, &jobs[1]);
  for (std::size_t i = 298; i >= 2; --i) ASSERT_EQ(queue.pop(), &jobs[i]);
  EXPECT_EQ(queue.pop(), nullptr);
  EXPECT_EQ(queue.steal().job, nullptr);
  EXPECT_TRUE(queue.looks_empty());
}

TEST(work_queue, owner_and_thieves_take_each_job_once) {
  constexpr std::size_t N = 100000;
  constexpr int THIEVES = 3;
  auto jobs = make_jobs(N);
  std::vector<std::atomic<int>> taken(N);
  WorkQueue queue(2);
  std::atomic<bool> done{false};
  std::vector<std::thread> thieves;
  for (int t = 0; t < THIEVES; ++t) {
    thieves.emplace_back([&] {
      while (!done.load()) {
        if (Job* job = queue.steal().job) taken[index_of(jobs, job)].fetch_add(1);
      }
    });
  }
  // The owner interleaves pushes and pops so the last-job race is exercised.
  for (std::size_t i = 0; i < N; ++i) {
    queue.push(&jobs[i]);
    if (i % 3 == 0) {
      if (Job* job = queue.pop()) taken[index_of(jobs, job)].fetch_add(1);
    }
  }
  while (Job* job = queue.pop()) taken[index_of(jobs, job)].fetch_add(1);
  done.store(true);
  for (auto& t : thieves) t.join();
  for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(taken[i].load(), 1) << "job " << i;
}

TEST(injector_queue, is_fifo_across_blocks) {
  const std::size_t n = 5 * InjectorQueue::BLOCK_CAP + 7;
  auto jobs = make_jobs(n);
  InjectorQueue queue;
  EXPECT_TRUE(queue.looks_empty());
  EXPECT_EQ(queue.pop(), nullptr);
  for (std::size_t round = 0; round < 2; ++round) {  // the second round starts mid-block
    for (Job& job : jobs) queue.push(&job);
    EXPECT_FALSE(queue.looks_empty());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(queue.pop(), &jobs[i]);
    EXPECT_EQ(queue.pop(), nullptr);
    EXPECT_TRUE(queue.looks_empty());
  }
}

TEST(injector_queue, producers_and_consumers_move_each_job_once) {
  constexpr std::size_t PER_PRODUCER = 20000;
  constexpr int PRODUCERS = 3;
  constexpr int CONSUMERS = 3;
  auto jobs = make_jobs(PER_PRODUCER * PRODUCERS);
  std::vector<std::atomic<int>> taken(jobs.size());
  InjectorQueue queue;
  std::atomic<std::size_t> remaining{jobs.size()};
  std::vector<std::thread> threads;
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&, p] {
      for (std::size_t i = 0; i < PER_PRODUCER; ++i) queue.push(&jobs[p * PER_PRODUCER + i]);
    });
  }
  for (int c = 0; c < CONSUMERS; ++c) {
    threads.emplace_back([&] {
      // Jobs of one producer must come out in the order it pushed them.
      std::vector<std::size_t> last_seen(PRODUCERS, SIZE_MAX);
      while (remaining.load() > 0) {
        Job* job = queue.pop();
        if (job == nullptr) continue;
        const std::size_t i = index_of(jobs, job);
        const std::size_t producer = i / PER_PRODUCER;
        EXPECT_TRUE(last_seen[producer] == SIZE_MAX || last_seen[producer] < i);
        last_seen[producer] = i;
        taken[i].fetch_add(1);
        remaining.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < jobs.size(); ++i) ASSERT_EQ(taken[i].load(), 1) << "job " << i;
}

}  // namespace
}  // namespace graphripple::detail
