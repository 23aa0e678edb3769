// Lock-free block-list queue; see injector_queue.h for the design.
//
// Slot life cycle: a producer stores the job and sets WRITTEN; the consumer
// waits for WRITTEN, takes the job and sets READ. Block reclamation: the
// consumer of the last slot walks the block and frees it once every slot is
// READ; where it finds a slot still being read it sets DESTROY there and
// stops, and that slot's reader resumes the walk after it.
#include "pool/injector_queue.h"

#include <memory>

#include "pool/sleep.h"

namespace graphripple::detail {
namespace {

constexpr std::uint64_t LAP = InjectorQueue::BLOCK_CAP + 1;
constexpr std::uint32_t WRITTEN = 1;
constexpr std::uint32_t READ = 2;
constexpr std::uint32_t DESTROY = 4;

// Waits for another thread that is between two steps of a short,
// non-blocking sequence (installing a block, storing a job).
constexpr std::uint32_t SHORT_WAIT_PAUSE_STEPS = 6;

}  // namespace

struct InjectorQueue::Slot {
  std::atomic<Job*> job{nullptr};
  std::atomic<std::uint32_t> state{0};
};

struct InjectorQueue::Block {
  std::atomic<Block*> next{nullptr};
  Slot slots[BLOCK_CAP];

  Block* wait_next() const {
    Backoff backoff(SHORT_WAIT_PAUSE_STEPS);
    for (;;) {
      // acquire: pairs with the producer's release of the new block.
      if (Block* n = next.load(std::memory_order_acquire)) return n;
      backoff.snooze();
    }
  }
};

InjectorQueue::InjectorQueue() {
  Block* first = new Block;
  // relaxed: the queue is not shared yet.
  head_block_.store(first, std::memory_order_relaxed);
  tail_block_.store(first, std::memory_order_relaxed);
}

InjectorQueue::~InjectorQueue() {
  // The queue is quiescent here: every block from the head on is owned by it.
  Block* block = head_block_.load(std::memory_order_relaxed);
  while (block != nullptr) {
    Block* next = block->next.load(std::memory_order_relaxed);
    delete block;
    block = next;
  }
}

void InjectorQueue::push(Job* job) {
  Backoff backoff(SHORT_WAIT_PAUSE_STEPS);
  std::unique_ptr<Block> spare;
  for (;;) {
    // acquire: pairs with the release that moved the tail into a new block,
    // so the block pointer read next belongs to this index.
    std::uint64_t tail = tail_index_.load(std::memory_order_acquire);
    Block* block = tail_block_.load(std::memory_order_acquire);
    const std::uint64_t offset = tail % LAP;
    if (offset == BLOCK_CAP) {
      backoff.snooze();  // another producer is installing the next block
      continue;
    }
    // Allocate before claiming the last slot, so nothing can fail between
    // the claim and the installation of the next block.
    if (offset + 1 == BLOCK_CAP && !spare) spare = std::make_unique<Block>();
    // seq_cst on success: consumers' emptiness checks order against it;
    // relaxed on failure: we reload everything.
    if (!tail_index_.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
      backoff.snooze();
      continue;
    }
    if (offset + 1 == BLOCK_CAP) {
      Block* next = spare.release();
      // release: producers that see the new index below see this block.
      tail_block_.store(next, std::memory_order_release);
      // release: skips the marker position into the new block's first slot.
      tail_index_.fetch_add(1, std::memory_order_release);
      // release: the consumer of this slot follows next to the new block.
      block->next.store(next, std::memory_order_release);
    }
    Slot& slot = block->slots[offset];
    // relaxed: published by the WRITTEN bit below.
    slot.job.store(job, std::memory_order_relaxed);
    // release: the consumer that sees WRITTEN sees the job and its contents.
    slot.state.fetch_or(WRITTEN, std::memory_order_release);
    return;
  }
}

Job* InjectorQueue::pop() {
  Backoff backoff(SHORT_WAIT_PAUSE_STEPS);
  for (;;) {
    // acquire: pairs with the release that moved the head into a new block.
    std::uint64_t head = head_index_.load(std::memory_order_acquire);
    Block* block = head_block_.load(std::memory_order_acquire);
    const std::uint64_t offset = head % LAP;
    if (offset == BLOCK_CAP) {
      backoff.snooze();  // another consumer is moving to the next block
      continue;
    }
    // seq_cst: an idle worker's re-check must not miss a push ordered before
    // its announcement (see the sleep protocol).
    const std::uint64_t tail = tail_index_.load(std::memory_order_seq_cst);
    if (head == tail) return nullptr;
    // seq_cst on success: claims the slot; relaxed on failure: we reload.
    if (!head_index_.compare_exchange_weak(head, head + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
      backoff.snooze();
      continue;
    }
    if (offset + 1 == BLOCK_CAP) {
      Block* next = block->wait_next();
      // release: consumers that see the new index below see this block.
      head_block_.store(next, std::memory_order_release);
      // release: skips the marker position.
      head_index_.store(head + 2, std::memory_order_release);
    }
    Slot& slot = block->slots[offset];
    Backoff wait_write(SHORT_WAIT_PAUSE_STEPS);
    // acquire: pairs with the producer's release of WRITTEN.
    while ((slot.state.load(std::memory_order_acquire) & WRITTEN) == 0) wait_write.snooze();
    // relaxed: ordered by the WRITTEN acquire above.
    Job* job = slot.job.load(std::memory_order_relaxed);
    if (offset + 1 == BLOCK_CAP) {
      destroy_block(block, 0);
    } else if (slot.state.fetch_or(READ, std::memory_order_acq_rel) & DESTROY) {
      // acq_rel: our read must be done before a destroyer frees the block,
      // and we must see its DESTROY mark to take over the walk.
      destroy_block(block, offset + 1);
    }
    return job;
  }
}

void InjectorQueue::destroy_block(Block* block, std::size_t start) {
  // The last slot is never marked: its reader is the one that starts the walk.
  for (std::size_t i = start; i + 1 < BLOCK_CAP; ++i) {
    Slot& slot = block->slots[i];
    // acquire: the reader's READ means it no longer touches the block.
    // acq_rel on the mark: hands the walk to that slot's reader.
    if ((slot.state.load(std::memory_order_acquire) & READ) == 0 &&
        (slot.state.fetch_or(DESTROY, std::memory_order_acq_rel) & READ) == 0) {
      return;
    }
  }
  delete block;
}

bool InjectorQueue::looks_empty() const {
  // seq_cst: ordered after an idle worker's announcement in the sleep protocol.
  const std::uint64_t head = head_index_.load(std::memory_order_seq_cst);
  const std::uint64_t tail = tail_index_.load(std::memory_order_seq_cst);
  return head == tail;
}

}  // namespace graphripple::detail
