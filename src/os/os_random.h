// fill_os_random: bytes from the operating system's cryptographic source.
//
// The only entropy the system uses: it keys and rekeys thread_rng.
// - Linux (os_random_linux.cpp) reads getrandom(2).
// - Windows (os_random_windows.cpp) calls BCryptGenRandom with the system's
//   preferred generator, falling back to RtlGenRandom (SystemFunction036).
// Each OS's retry and chunking rules live in a detail function that takes
// the system calls as parameters. Both are plain C++ (os_random.cpp), so
// their failure paths are tested by injection on any build machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace graphripple {

/// A failure of the OS source: errno on Linux, the failing status with its
/// top bit cleared on Windows.
struct OsRandomError {
  std::uint32_t code = 0;

  /// "OS Error: <code>"; part of a message callers match, keep it as is.
  std::string text() const { return "OS Error: " + std::to_string(code); }

  friend bool operator==(const OsRandomError&, const OsRandomError&) = default;
};

/// Fills data[0, length) from the OS source; nothing on success, otherwise
/// the error. Length 0 succeeds without a system call.
std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length);

namespace detail {

/// Signature of getrandom(2): bytes written, or -1 with errno set.
using GetrandomFn = std::ptrdiff_t (*)(void* data, std::size_t length, unsigned int flags);

/// The loop over `getrandom`: retries EINTR, continues after short
/// reads, reports any other errno.
std::optional<OsRandomError> fill_with_getrandom(std::uint8_t* data, std::size_t length,
                                                 GetrandomFn getrandom);

/// The preferred system generator on one chunk (BCryptGenRandom with
/// BCRYPT_USE_SYSTEM_PREFERRED_RNG): its NTSTATUS.
using SystemRngFn = std::int32_t (*)(std::uint8_t* data, std::uint32_t length);
/// The fallback generator on one chunk (RtlGenRandom): true when it filled it.
using FallbackRngFn = bool (*)(std::uint8_t* data, std::uint32_t length);

/// Largest chunk one call of either generator takes (its length is 32-bit).
inline constexpr std::size_t MAX_SYSTEM_RNG_CHUNK = 0xFFFFFFFF;

/// The loop over the Windows generators: chunks of at most max_chunk bytes;
/// a chunk whose status is an error (both severity bits set) is handed to
/// `fallback`, and when that fails too the result is the status with its
/// top bit cleared. Success, informational and warning statuses go on.
std::optional<OsRandomError> fill_with_system_rng(std::uint8_t* data, std::size_t length,
                                                  SystemRngFn preferred, FallbackRngFn fallback,
                                                  std::size_t max_chunk = MAX_SYSTEM_RNG_CHUNK);

}  // namespace detail
}  // namespace graphripple
