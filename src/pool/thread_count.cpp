// Worker-count parsing and the processor count of this process.
//
// The variable values are read with getenv once, when the pool is created;
// later changes to the environment have no effect because the pool's size is
// fixed from then on.
#include "pool/thread_count.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <sched.h>
#include <unistd.h>

namespace graphripple {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t decide_num_threads(std::optional<std::string_view> num_threads_value,
                               std::optional<std::string_view> num_cpus_value,
                               std::size_t processor_count) {
  const std::size_t fallback = std::max<std::size_t>(processor_count, 1);
  const auto capped = [](std::uint64_t count) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, MAX_NUM_THREADS));
  };
  if (num_threads_value) {
    if (const auto count = parse_thread_count(*num_threads_value)) {
      // An explicit 0 asks for the default and deliberately shadows the
      // second variable.
      return *count > 0 ? capped(*count) : capped(fallback);
    }
  }
  if (num_cpus_value) {
    if (const auto count = parse_thread_count(*num_cpus_value); count && *count > 0) {
      return capped(*count);
    }
  }
  return capped(fallback);
}

std::size_t processor_count() {
  // Count the CPUs this process may actually run on (containers and taskset
  // restrict it), growing the mask for machines with more than CPU_SETSIZE.
  for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return static_cast<std::size_t>(count);
    if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

std::size_t num_threads_from_environment() {
  const auto read = [](const char* name) -> std::optional<std::string_view> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
  };
  // The variable names are part of the module's public contract: callers
  // set them to size the pool. Do not rename them.
  return decide_num_threads(read("RAYON_NUM_THREADS"), read("RAYON_RS_NUM_CPUS"), processor_count());
}

}  // namespace graphripple
