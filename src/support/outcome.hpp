// A value or an error, for operations whose failures a caller can cause.
#pragma once

#include <utility>
#include <variant>

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

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace quorvel
