// fill_os_random: bytes from the operating system's cryptographic source.
//
// The only entropy the system uses: it keys and rekeys thread_rng. It reads
// getrandom(2). The retry rules live in a detail function that takes the
// system call as a parameter, so its failure paths are tested by injection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace graphripple {

/// A failure of the OS source, with its errno.
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

}  // namespace detail
}  // namespace graphripple
