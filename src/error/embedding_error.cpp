// Display texts of EmbeddingError, including the out-of-memory report with the
// requested size in megabytes.
#include "error/embedding_error.h"

#include <array>
#include <bit>
#include <charconv>

namespace graphripple {

// The texts in this file are part of the module's public contract: callers
// match the "Shape mismatch: " prefix and the out-of-memory report line by
// line. Change none of them, not even whitespace.

std::string ReserveError::raw_text() const {
  if (kind == Kind::CapacityOverflow) return "TryReserveError { kind: CapacityOverflow }";
  const int shift = std::countr_zero(align);
  return "TryReserveError { kind: AllocError { layout: Layout { size: " + std::to_string(size) +
         ", align: " + std::to_string(align) + " (1 << " + std::to_string(shift) +
         ") }, non_exhaustive: () } }";
}

const std::string& EmbeddingError::message() const {
  static const std::string empty;
  const auto* shape = std::get_if<ShapeMismatch>(&kind_);
  return shape ? shape->text : empty;
}

namespace {

// The requested size in megabytes; unknown for a size that overflowed.
std::string requested_memory(const ReserveError& error) {
  if (error.kind != ReserveError::Kind::AllocError) return "Requested Memory: Unknown";
  const double megabytes = static_cast<double>(error.size) * 0x1p-20;
  // to_chars rounds the exact binary value correctly, ties to even, and never
  // depends on the locale.
  std::array<char, 64> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), megabytes, std::chars_format::fixed, 2);
  return "Requested Memory: " + std::string(buffer.data(), result.ptr) + " MB";
}

// The six-line report shown for a failed reservation.
std::string out_of_memory_report(const ReserveError& error) {
  return "Out Of Memory (OOM): The system could not allocate enough memory.\n- " + requested_memory(error) +
         "\nTry reducing the number of nodes or the embedding dimension.\n\nRaw Error:\n" + error.raw_text();
}

}  // namespace

std::string EmbeddingError::display() const {
  if (const auto* shape = std::get_if<ShapeMismatch>(&kind_)) return "Shape mismatch: " + shape->text;
  return out_of_memory_report(std::get<OutOfMemory>(kind_).error);
}

}  // namespace graphripple
