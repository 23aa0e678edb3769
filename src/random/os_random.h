// fill_os_random: bytes from the operating system's cryptographic source.
//
// The only entropy the system uses: it keys and rekeys thread_rng. Linux
// reads getrandom(2); Windows asks BCryptGenRandom and falls back to
// RtlGenRandom (SystemFunction036). The retry and fallback rules live in
// portable detail functions that take the system calls as parameters, so
// their failure paths are tested by injection on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace graphripple {

/// A failure of the OS source, with its numeric code (errno on Linux, the
/// failing status with its top bit cleared on Windows).
struct OsRandomError {
  std::uint32_t code = 0;

  /// "OS Error: <code>"
  std::string text() const { return "OS Error: " + std::to_string(code); }

  friend bool operator==(const OsRandomError&, const OsRandomError&) = default;
};

/// Fills data[0, length) from the OS source; nothing on success, otherwise
/// the error. Length 0 succeeds without a system call.
std::optional<OsRandomError> fill_os_random(std::uint8_t* data, std::size_t length);

namespace detail {

/// Signature of getrandom(2): bytes written, or -1 with errno set.
using GetrandomFn = std::ptrdiff_t (*)(void* data, std::size_t length, unsigned int flags);

/// The Linux loop over `getrandom`: retries EINTR, continues after short
/// reads, reports any other errno.
std::optional<OsRandomError> fill_with_getrandom(std::uint8_t* data, std::size_t length,
                                                 GetrandomFn getrandom);

/// BCryptGenRandom on one chunk: returns the NTSTATUS as unsigned 32-bit.
using PreferredRngFn = std::uint32_t (*)(std::uint8_t* data, std::uint32_t length);
/// SystemFunction036 on one chunk: true on success.
using FallbackRngFn = bool (*)(std::uint8_t* data, std::uint32_t length);

/// Largest chunk one BCryptGenRandom call accepts (its length is a ULONG).
inline constexpr std::size_t WINDOWS_MAX_CHUNK = 0xFFFFFFFFu;

/// The Windows walk over chunks of at most `max_chunk` bytes: a status with
/// both severity bits set is an error and the chunk is retried with the
/// fallback; if that fails too, the code is the status without its top bit.
std::optional<OsRandomError> fill_with_windows_rng(std::uint8_t* data, std::size_t length,
                                                   PreferredRngFn preferred, FallbackRngFn fallback,
                                                   std::size_t max_chunk = WINDOWS_MAX_CHUNK);

}  // namespace detail
}  // namespace graphripple
