// A value or an error, for operations whose failures are ordinary results.
#pragma once

#include <utility>
#include <variant>

#include "support/internal_error.hpp"

namespace quorvel::egraph {

template <typename T, typename E>
class Result {
 public:
  static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  const T& value() const& {
    if (!ok()) fail_invariant("a failed result is not read as a value", "Result::value");
    return std::get<0>(state_);
  }
  T& value() & {
    if (!ok()) fail_invariant("a failed result is not read as a value", "Result::value");
    return std::get<0>(state_);
  }
  T&& value() && {
    if (!ok()) fail_invariant("a failed result is not read as a value", "Result::value");
    return std::get<0>(std::move(state_));
  }
  const E& error() const {
    if (ok()) fail_invariant("a successful result is not read as an error", "Result::error");
    return std::get<1>(state_);
  }

 private:
  template <std::size_t I, typename V>
  Result(std::in_place_index_t<I> tag, V&& v) : state_(tag, std::forward<V>(v)) {}

  std::variant<T, E> state_;
};

}  // namespace quorvel::egraph
