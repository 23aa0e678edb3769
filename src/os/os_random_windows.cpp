// fill_os_random on Windows: BCryptGenRandom with the system's preferred
// generator (no algorithm handle), RtlGenRandom when it reports an error.
#include <windows.h>

#include <bcrypt.h>

#include "os/os_random.h"

// RtlGenRandom is exported from advapi32 under this name only.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace graphripple {
namespace {

std::int32_t preferred_rng(std::uint8_t* data, std::uint32_t length) {
  return static_cast<std::int32_t>(BCryptGenRandom(nullptr, data, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool fallback_rng(std::uint8_t* data, std::uint32_t length) { return SystemFunction036(data, length) != FALSE; }

}  // namespace

std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length) {
  if (length == 0) return std::nullopt;
  return detail::fill_with_system_rng(data, length, &preferred_rng, &fallback_rng);
}

}  // namespace graphripple
