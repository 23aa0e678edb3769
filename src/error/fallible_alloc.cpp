// Zeroed block allocation and the reservation-failure seam; the pages
// themselves come from the OS layer in page_memory.h.
#include "error/fallible_alloc.h"

#include <atomic>
#include <cstring>

#include "error/page_memory.h"

namespace graphripple {

namespace {
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
  if (bytes >= MAP_THRESHOLD) return detail::map_zeroed_pages(bytes);
  void* data = detail::allocate_aligned(SMALL_ALIGN, round_up(bytes, SMALL_ALIGN));
  if (data != nullptr) std::memset(data, 0, bytes);
  return data;
}

void release_zeroed(void* data, std::uint64_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes < MAP_THRESHOLD) {
    detail::free_aligned(data);
  } else {
    detail::unmap_pages(data, bytes);
  }
}

}  // namespace graphripple
