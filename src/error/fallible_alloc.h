// Fallible reservation of large buffers.
//
// Every large buffer (graph arrays, projection and work matrices) is reserved
// through this header, so running out of memory becomes an
// EmbeddingError::OutOfMemory and never a crash.
// - Byte counts that cannot be represented (above INT64_MAX) are a
//   CapacityOverflow; allocator refusals carry the requested size.
// - A test seam can make the k-th reservation fail, to walk every
//   out-of-memory path of a whole fit deterministically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "error/embedding_error.h"
#include "error/expected.h"

namespace graphripple {

namespace detail {
/// Test seam: make the k-th reservation from now fail (k >= 1), or disarm
/// with 0. Reservations that fail this way report an allocator refusal.
void fail_reservation_after(std::uint64_t k);
/// Number of fallible reservations made so far (for the seam's tests).
std::uint64_t reservation_count();
/// True when the seam refuses this reservation; counts it either way.
bool injected_reservation_failure();
}  // namespace detail

/// Bytes for `count` elements of `element_size`, or the overflow record.
inline std::optional<ReserveError> checked_bytes(std::uint64_t count, std::uint64_t element_size,
                                                 std::uint64_t& bytes) {
  if (element_size != 0 && count > std::uint64_t(std::numeric_limits<std::int64_t>::max()) / element_size)
    return ReserveError::capacity_overflow();
  bytes = count * element_size;
  return std::nullopt;
}

/// Reserves room for exactly `count` elements in an empty or smaller vector.
template <class T>
Status try_reserve(std::vector<T>& vector, std::uint64_t count) {
  std::uint64_t bytes = 0;
  if (auto overflow = checked_bytes(count, sizeof(T), bytes)) return EmbeddingError::out_of_memory(*overflow);
  if (count <= vector.capacity()) return Status::ok();
  if (detail::injected_reservation_failure())
    return EmbeddingError::out_of_memory(ReserveError::alloc_error(bytes, alignof(T)));
  try {
    vector.reserve(count);
  } catch (const std::bad_alloc&) {
    return EmbeddingError::out_of_memory(ReserveError::alloc_error(bytes, alignof(T)));
  } catch (const std::length_error&) {
    return EmbeddingError::out_of_memory(ReserveError::alloc_error(bytes, alignof(T)));
  }
  return Status::ok();
}

/// Zero-filled storage. Large blocks come from the kernel as zero pages (no
/// clearing pass) on 2 MiB-aligned ranges advised for huge pages.
/// Allocates `bytes` of zeroed memory; nullptr on refusal. bytes > 0.
void* allocate_zeroed(std::uint64_t bytes);
/// Releases a block from allocate_zeroed of the same byte count.
void release_zeroed(void* data, std::uint64_t bytes) noexcept;

/// Owned, zero-initialised, move-only array of trivially copyable T.
/// Copies are deleted: there is exactly one owner of the storage.
template <class T>
class LargeBuffer {
 public:
  LargeBuffer() = default;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  LargeBuffer(LargeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~LargeBuffer() { reset(); }

  /// `count` zeroed elements, or the out-of-memory error. count may be 0.
  static Expected<LargeBuffer> try_zeroed(std::uint64_t count) {
    std::uint64_t bytes = 0;
    if (auto overflow = checked_bytes(count, sizeof(T), bytes)) return EmbeddingError::out_of_memory(*overflow);
    LargeBuffer buffer;
    if (count == 0) return buffer;
    void* data = detail::injected_reservation_failure() ? nullptr : allocate_zeroed(bytes);
    if (data == nullptr) return EmbeddingError::out_of_memory(ReserveError::alloc_error(bytes, alignof(T)));
    buffer.data_ = static_cast<T*>(data);
    buffer.size_ = count;
    return buffer;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::uint64_t size() const { return size_; }
  T& operator[](std::uint64_t i) { return data_[i]; }
  const T& operator[](std::uint64_t i) const { return data_[i]; }

  /// Gives up ownership; the caller must later call `release_raw`.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }
  /// Frees storage that `release` handed out, given its element count.
  static void release_raw(T* data, std::uint64_t count) noexcept {
    if (data != nullptr && count != 0) release_zeroed(data, count * sizeof(T));
  }

 private:
  void reset() noexcept {
    release_raw(data_, size_);
    data_ = nullptr;
    size_ = 0;
  }
  T* data_ = nullptr;
  std::uint64_t size_ = 0;
};

}  // namespace graphripple
