// Worker-count parsing and its wiring to the environment.
//
// The variable values are read with getenv once, when the pool is created;
// later changes to the environment have no effect because the pool's size is
// fixed from then on.
#include "pool/thread_count.h"

#include <algorithm>
#include <cstdlib>

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
