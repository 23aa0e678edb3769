// The platform-independent loops behind fill_os_random. The files
// os_random_linux.cpp and os_random_windows.cpp bind them to the real
// system calls.
#include "random/os_random.h"

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

std::optional<OsRandomError> fill_with_windows_rng(std::uint8_t* data, std::size_t length,
                                                   PreferredRngFn preferred, FallbackRngFn fallback,
                                                   std::size_t max_chunk) {
  while (length > 0) {
    const auto chunk = static_cast<std::uint32_t>(std::min(length, max_chunk));
    const std::uint32_t status = preferred(data, chunk);
    // NTSTATUS values from 0xC0000000 up carry the error severity; success,
    // information and warning codes all leave the buffer filled.
    if (status > 0xBFFFFFFFu && !fallback(data, chunk)) return OsRandomError{status & 0x7FFFFFFFu};
    data += chunk;
    length -= chunk;
  }
  return std::nullopt;
}

}  // namespace graphripple::detail
