// fill_os_random: getrandom(2) from the blocking-until-seeded pool, through
// the retry loop that the tests drive with a scripted system call.
#include "random/os_random.h"

#include <sys/random.h>

#include <cerrno>

namespace graphripple {

std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length) {
  if (length == 0) return std::nullopt;
  return detail::fill_with_getrandom(data, length, &::getrandom);
}

namespace detail {

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

}  // namespace detail
}  // namespace graphripple
