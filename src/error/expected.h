// Expected<T>: a value or the EmbeddingError that prevented it.
//
// The first failure of a stage is passed up unchanged; only the module
// boundary turns it into a Python exception.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "error/embedding_error.h"
#include "error/internal_fault.h"

namespace graphripple {

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(EmbeddingError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Expected*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }
  T& operator*() & { return checked_value(); }
  T* operator->() { return &checked_value(); }
  const T* operator->() const { return &const_cast<Expected*>(this)->checked_value(); }

  const EmbeddingError& error() const& { return *std::get_if<1>(&state_); }
  EmbeddingError&& error() && { return std::move(*std::get_if<1>(&state_)); }

 private:
  T& checked_value() {
    fault_unless(has_value(), "Expected accessed without a value");
    return *std::get_if<0>(&state_);
  }
  std::variant<T, EmbeddingError> state_;
};

/// Success, or the error that ended the operation.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(EmbeddingError error) : error_(std::move(error)) {}
  static Status ok() { return {}; }

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  const EmbeddingError& error() const& { return *error_; }
  EmbeddingError&& error() && { return std::move(*error_); }

 private:
  std::optional<EmbeddingError> error_;
};

}  // namespace graphripple
