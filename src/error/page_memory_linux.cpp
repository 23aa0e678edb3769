// Page memory on Linux: anonymous mappings aligned to 2 MiB and advised for
// transparent huge pages.
#include <sys/mman.h>

#include <cstdlib>

#include "error/page_memory.h"

namespace graphripple::detail {

namespace {
constexpr std::uint64_t HUGE_PAGE = std::uint64_t{2} << 20;
std::uint64_t round_up(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }
}  // namespace

void* map_zeroed_pages(std::uint64_t bytes) {
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

void unmap_pages(void* data, std::uint64_t bytes) noexcept { munmap(data, round_up(bytes, HUGE_PAGE)); }

void* allocate_aligned(std::uint64_t align, std::uint64_t bytes) { return std::aligned_alloc(align, bytes); }

void free_aligned(void* data) noexcept { std::free(data); }

}  // namespace graphripple::detail
