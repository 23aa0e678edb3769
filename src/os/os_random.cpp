// The retry and chunking loops behind fill_os_random, free of OS headers:
// the per-OS sources hand them the real system calls, the tests scripted ones.
#include "os/os_random.h"

#include <algorithm>
#include <cerrno>

namespace graphripple::detail {

std::optional<OsRandomError> fill_with_getrandom(std::uint8_t* data, std::size_t length,
                                                 GetrandomFn getrandom) {
  // getrandom returns at most 32 MiB - 1 per call and may be interrupted by
  // a signal, so a request is a loop over whatever each call delivers.
  while (length > 0) {
    const std::ptrdiff_t got = getrandom(data, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return OsRandomError{static_cast<std::uint32_t>(errno)};
    }
    data += got;
    length -= static_cast<std::size_t>(got);
  }
  return std::nullopt;
}

std::optional<OsRandomError> fill_with_system_rng(std::uint8_t* data, std::size_t length,
                                                  SystemRngFn preferred, FallbackRngFn fallback,
                                                  std::size_t max_chunk) {
  max_chunk = std::clamp<std::size_t>(max_chunk, 1, MAX_SYSTEM_RNG_CHUNK);
  while (length > 0) {
    const auto chunk = static_cast<std::uint32_t>(std::min(length, max_chunk));
    const auto status = static_cast<std::uint32_t>(preferred(data, chunk));
    // NTSTATUS severity is the top two bits; 0b11 is an error. The fallback
    // gets the same chunk; if it fails as well, the preferred generator's
    // status is what is reported.
    if (status > 0xBFFFFFFFu && !fallback(data, chunk)) return OsRandomError{status & 0x7FFFFFFFu};
    data += chunk;
    length -= chunk;
  }
  return std::nullopt;
}

}  // namespace graphripple::detail
