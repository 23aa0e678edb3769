// Process-wide FIFO through which threads outside the pool hand in jobs.
//
// - Multi-producer, multi-consumer and lock-free: a linked list of blocks of
//   BLOCK_CAP slots. Producers claim a slot by advancing the tail index,
//   consumers by advancing the head index, each with one CAS.
// - Jobs come out in the order their slots were claimed, so loops started by
//   different threads are served in arrival order.
// - A block is freed by whichever consumer reads its last outstanding slot;
//   no thread dereferences a block before its CAS proves the block still live.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pool/work_queue.h"

namespace graphripple::detail {

class InjectorQueue {
 public:
  /// Slots per block. Indices advance through LAP = BLOCK_CAP + 1 positions
  /// per block; position BLOCK_CAP is a marker meaning "moving to the next
  /// block", during which other threads wait briefly.
  static constexpr std::size_t BLOCK_CAP = 63;

  InjectorQueue();
  ~InjectorQueue();
  InjectorQueue(const InjectorQueue&) = delete;
  InjectorQueue& operator=(const InjectorQueue&) = delete;

  /// Any thread. May throw std::bad_alloc when a new block is needed; the
  /// block is allocated before a slot is claimed, so the queue is unchanged.
  void push(Job* job);
  /// Any thread. The oldest job, or nullptr when the queue is empty.
  Job* pop();
  /// Any thread; a snapshot. seq_cst reads for the sleep protocol's re-check.
  bool looks_empty() const;

 private:
  struct Slot;
  struct Block;
  static void destroy_block(Block* block, std::size_t start);

  alignas(CACHE_LINE) std::atomic<std::uint64_t> head_index_{0};
  std::atomic<Block*> head_block_{nullptr};
  alignas(CACHE_LINE) std::atomic<std::uint64_t> tail_index_{0};
  std::atomic<Block*> tail_block_{nullptr};
};

}  // namespace graphripple::detail
