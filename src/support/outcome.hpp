// A value or an error, for operations whose failures a caller can cause.
#pragma once

#include <utility>
#include <variant>

#include "support/internal_error.hpp"

namespace quorvel {

template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<E> failure(E error) {
  return Failure<E>{std::move(error)};
}

template <class T, class E>
class Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Outcome(Failure<E> f) : state_(std::in_place_index<1>, std::move(f.error)) {}  // NOLINT

  static Outcome success(T value) { return Outcome(std::move(value)); }
  static Outcome failure(E error) { return Outcome(Failure<E>{std::move(error)}); }

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Reading the side that is not there is a broken guarantee of the caller.
  T& value() & {
    check_ok();
    return std::get<0>(state_);
  }
  const T& value() const& {
    check_ok();
    return std::get<0>(state_);
  }
  T&& value() && {
    check_ok();
    return std::get<0>(std::move(state_));
  }
  const E& error() const& {
    if (ok()) fail_invariant("a successful result is not read as an error", "Outcome::error");
    return std::get<1>(state_);
  }

 private:
  void check_ok() const {
    if (!ok()) fail_invariant("a failed result is not read as a value", "Outcome::value");
  }

  std::variant<T, E> state_;
};

}  // namespace quorvel
