// Worker-count decision for the process-wide pool.
//
// - The count comes from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the
//   number of processors this process may run on (os/processor_count.h);
//   it is capped at MAX_NUM_THREADS.
// - decide_num_threads is pure (no environment, no OS calls) so the parsing
//   rules are tested directly; num_threads_from_environment wires it to the
//   real environment and processor count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "os/processor_count.h"

namespace graphripple {

/// Largest number of workers the pool will start, whatever is asked for.
inline constexpr std::size_t MAX_NUM_THREADS = 65535;

/// Parses a worker-count variable: an optional single leading '+' followed by
/// one or more ASCII digits and nothing else, with a value that fits in 64
/// bits. Anything else (spaces, '-', empty text, overflow) gives nullopt.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

/// The worker count for the values of RAYON_NUM_THREADS (num_threads_value)
/// and RAYON_RS_NUM_CPUS (num_cpus_value), nullopt when a variable is unset,
/// and the processor count.
///  1. A valid RAYON_NUM_THREADS above 0 is the count; a valid 0 means the
///     default and RAYON_RS_NUM_CPUS is not consulted.
///  2. Otherwise a valid RAYON_RS_NUM_CPUS above 0 is the count.
///  3. The default is processor_count, or 1 when that is 0.
/// The result is at most MAX_NUM_THREADS.
std::size_t decide_num_threads(std::optional<std::string_view> num_threads_value,
                               std::optional<std::string_view> num_cpus_value,
                               std::size_t processor_count);

/// decide_num_threads applied to the process environment and processor count.
std::size_t num_threads_from_environment();

}  // namespace graphripple
