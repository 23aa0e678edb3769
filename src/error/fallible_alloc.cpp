// Zeroed block allocation and the reservation-failure seam.
#include "error/fallible_alloc.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace graphripple {

namespace {
constexpr std::uint64_t HUGE_PAGE = std::uint64_t{2} << 20;
// Blocks at least this large are mapped directly: the kernel hands out zero
// pages, so no clearing pass touches memory that is about to be written.
constexpr std::uint64_t MAP_THRESHOLD = std::uint64_t{1} << 20;
constexpr std::uint64_t SMALL_ALIGN = 64;

std::uint64_t round_up(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// Relaxed suffices: the seam is armed by a test before the reservations it
// targets, on the same thread or before the threads that make them start.
std::atomic<std::uint64_t> g_fail_at{0};
std::atomic<std::uint64_t> g_count{0};
}  // namespace

namespace detail {
void fail_reservation_after(std::uint64_t k) {
  g_fail_at.store(k == 0 ? 0 : g_count.load(std::memory_order_relaxed) + k, std::memory_order_relaxed);
}
std::uint64_t reservation_count() { return g_count.load(std::memory_order_relaxed); }
bool injected_reservation_failure() {
  const std::uint64_t n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  const std::uint64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
  return fail_at != 0 && n == fail_at;
}
}  // namespace detail

void* allocate_zeroed(std::uint64_t bytes) {
  if (bytes < MAP_THRESHOLD) {
    void* data = std::aligned_alloc(SMALL_ALIGN, round_up(bytes, SMALL_ALIGN));
    if (data != nullptr) std::memset(data, 0, bytes);
    return data;
  }
  // Map one huge page more than needed so the block can start on a 2 MiB
  // boundary, then trim the slack on both sides.
  const std::uint64_t length = round_up(bytes, HUGE_PAGE);
  const std::uint64_t mapped = length + HUGE_PAGE;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t start = round_up(base, HUGE_PAGE);
  if (start > base) munmap(raw, start - base);
  const std::uintptr_t end = start + length;
  if (base + mapped > end) munmap(reinterpret_cast<void*>(end), base + mapped - end);
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(start);
}

void release_zeroed(void* data, std::uint64_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes < MAP_THRESHOLD) {
    std::free(data);
  } else {
    munmap(data, round_up(bytes, HUGE_PAGE));
  }
}

}  // namespace graphripple
