// Display texts of EmbeddingError, including the out-of-memory report with the
// requested size in megabytes.
#include "error/embedding_error.h"

#include <array>
#include <bit>
#include <charconv>
#include <optional>
#include <string_view>

namespace graphripple {

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

// An optional "+" and one or more digits, below 2^64.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The size field of the raw record, read back out of its text so that the
// report describes exactly what the record says.
std::string requested_memory(std::string_view raw) {
  constexpr std::string_view key = "size: ";
  const auto at = raw.find(key);
  if (at != std::string_view::npos) {
    const auto field_start = at + key.size();
    const auto comma = raw.find(',', field_start);
    if (comma != std::string_view::npos) {
      if (const auto bytes = parse_unsigned(raw.substr(field_start, comma - field_start))) {
        const double megabytes = static_cast<double>(*bytes) * 0x1p-20;
        // to_chars rounds the exact binary value correctly, ties to even,
        // and never depends on the locale.
        std::array<char, 64> buffer{};
        const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), megabytes,
                                          std::chars_format::fixed, 2);
        return "Requested Memory: " + std::string(buffer.data(), result.ptr) + " MB";
      }
    }
  }
  return "Requested Memory: Unknown";
}

}  // namespace

std::string out_of_memory_report(const std::string& raw) {
  return "Out Of Memory (OOM): The system could not allocate enough memory.\n- " +
         requested_memory(raw) +
         "\nTry reducing the number of nodes or the embedding dimension.\n\nRaw Error:\n" + raw;
}

std::string EmbeddingError::display() const {
  if (const auto* shape = std::get_if<ShapeMismatch>(&kind_)) return "Shape mismatch: " + shape->text;
  return out_of_memory_report(std::get<OutOfMemory>(kind_).error.raw_text());
}

}  // namespace graphripple
