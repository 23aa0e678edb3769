// fill_os_random on Windows: BCryptGenRandom with the system-preferred
// generator, falling back to RtlGenRandom (exported as SystemFunction036).
// Links against bcrypt and advapi32.
#ifdef _WIN32

#include <windows.h>
#include <bcrypt.h>

#include "random/os_random.h"

#ifdef _MSC_VER
#pragma comment(lib, "bcrypt")
#pragma comment(lib, "advapi32")
#endif

extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace graphripple {

namespace {
std::uint32_t preferred_rng(std::uint8_t* data, std::uint32_t length) {
  return static_cast<std::uint32_t>(
      BCryptGenRandom(nullptr, data, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}
bool fallback_rng(std::uint8_t* data, std::uint32_t length) {
  return SystemFunction036(data, length) != FALSE;
}
}  // namespace

std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length) {
  if (length == 0) return std::nullopt;
  return detail::fill_with_windows_rng(data, length, &preferred_rng, &fallback_rng);
}

}  // namespace graphripple

#endif  // _WIN32
