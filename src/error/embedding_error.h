// EmbeddingError: every expected failure of graph building and of the fit.
//
// Two kinds only: a message (shown behind "Shape mismatch: ") and an
// out-of-memory report carrying the reservation that could not be met.
// Values are moved up the call chain to the module boundary and displayed once.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace graphripple {

/// Why a fallible reservation could not be met.
struct ReserveError {
  enum class Kind { CapacityOverflow, AllocError };

  Kind kind = Kind::CapacityOverflow;
  std::uint64_t size = 0;   ///< requested bytes (AllocError only)
  std::uint64_t align = 1;  ///< requested alignment, a power of two (AllocError only)

  static ReserveError capacity_overflow() { return {}; }
  static ReserveError alloc_error(std::uint64_t size, std::uint64_t align) {
    return {Kind::AllocError, size, align};
  }

  /// The raw one-line record shown at the end of the out-of-memory report.
  std::string raw_text() const;

  friend bool operator==(const ReserveError&, const ReserveError&) = default;
};

class EmbeddingError {
 public:
  struct ShapeMismatch {
    std::string text;
  };
  struct OutOfMemory {
    ReserveError error;
  };

  EmbeddingError(ShapeMismatch kind) : kind_(std::move(kind)) {}
  EmbeddingError(OutOfMemory kind) : kind_(kind) {}

  static EmbeddingError shape_mismatch(std::string text) { return ShapeMismatch{std::move(text)}; }
  static EmbeddingError out_of_memory(ReserveError error) { return OutOfMemory{error}; }

  bool is_shape_mismatch() const { return std::holds_alternative<ShapeMismatch>(kind_); }
  bool is_out_of_memory() const { return std::holds_alternative<OutOfMemory>(kind_); }
  /// The message of the ShapeMismatch kind (empty for OutOfMemory).
  const std::string& message() const;
  /// The failed reservation of the OutOfMemory kind.
  const ReserveError* reserve_error() const { return std::get_if<OutOfMemory>(&kind_) ? &std::get<OutOfMemory>(kind_).error : nullptr; }

  /// The text the user sees.
  std::string display() const;

 private:
  std::variant<ShapeMismatch, OutOfMemory> kind_;
};

}  // namespace graphripple
