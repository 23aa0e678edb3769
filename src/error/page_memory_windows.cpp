// Page memory on Windows: VirtualAlloc commits zero pages (64 KiB aligned);
// the C runtime has no aligned_alloc, so small blocks use _aligned_malloc.
#include <malloc.h>
#include <windows.h>

#include "error/page_memory.h"

namespace graphripple::detail {

void* map_zeroed_pages(std::uint64_t bytes) {
  if (bytes > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
  return VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* data, std::uint64_t) noexcept { VirtualFree(data, 0, MEM_RELEASE); }

void* allocate_aligned(std::uint64_t align, std::uint64_t bytes) {
  return _aligned_malloc(static_cast<std::size_t>(bytes), static_cast<std::size_t>(align));
}

void free_aligned(void* data) noexcept { _aligned_free(data); }

}  // namespace graphripple::detail
