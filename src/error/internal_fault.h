// InternalFault: a broken invariant. Not a value: it unwinds (across worker
// threads too) to the module boundary, which reports it as PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace graphripple {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& message) : std::runtime_error(message) {}
};

/// Throws InternalFault with `message` unless `condition` holds.
inline void fault_unless(bool condition, const char* message) {
  if (!condition) [[unlikely]]
    throw InternalFault(message);
}

}  // namespace graphripple
