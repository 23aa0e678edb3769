// The operating system's memory primitives behind allocate_zeroed, one
// source per OS (page_memory_linux.cpp, page_memory_windows.cpp).
//
// - map_zeroed_pages returns memory the OS hands out as zero pages, so no
//   clearing pass touches it before the fit writes it; nullptr on refusal.
// - Small blocks come from the C runtime's aligned allocator.
#pragma once

#include <cstdint>

namespace graphripple::detail {

/// `bytes` rounded up to whole huge pages, zero-filled, starting on a huge-page
/// boundary where the OS allows; nullptr when refused.
void* map_zeroed_pages(std::uint64_t bytes);
/// Releases a block of map_zeroed_pages(bytes).
void unmap_pages(void* data, std::uint64_t bytes) noexcept;

/// `bytes` (a multiple of `align`) aligned to `align`, uninitialised; nullptr when refused.
void* allocate_aligned(std::uint64_t align, std::uint64_t bytes);
/// Releases a block of allocate_aligned.
void free_aligned(void* data) noexcept;

}  // namespace graphripple::detail
