// A broken internal guarantee. Thrown by the core library, never caught
// inside it; the Python layer turns it into its panic exception at the
// boundary of every entry point.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A value from the caller that is past one of the core's fixed size limits
// (for example a node's parameters encoding to more than 4 GiB). Not a
// broken guarantee: nothing was changed, and the Python layer raises
// OverflowError with the message.
class LimitExceeded : public std::exception {
 public:
  explicit LimitExceeded(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws an InternalError whose text is the invariant, ": " and a debug
// rendering of the error that broke it.
[[noreturn]] void fail_invariant(std::string_view invariant, std::string_view detail);

// Throws when a condition that the surrounding code guarantees is false.
inline void check_invariant(bool holds, std::string_view invariant, std::string_view detail) {
  if (!holds) fail_invariant(invariant, detail);
}

}  // namespace quorvel
