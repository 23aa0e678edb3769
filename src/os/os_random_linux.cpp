// fill_os_random on Linux: getrandom(2) from the blocking-until-seeded pool,
// through the retry loop that the tests drive with a scripted system call.
#include <sys/random.h>

#include "os/os_random.h"

namespace graphripple {

std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length) {
  if (length == 0) return std::nullopt;
  return detail::fill_with_getrandom(data, length, &::getrandom);
}

}  // namespace graphripple
