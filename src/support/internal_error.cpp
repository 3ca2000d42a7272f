#include "support/internal_error.hpp"

namespace quorvel {

void fail_invariant(std::string_view invariant, std::string_view detail) {
  std::string message;
  message.reserve(invariant.size() + 2 + detail.size());
  message.append(invariant);
  message.append(": ");
  message.append(detail);
  throw InternalError(std::move(message));
}

}  // namespace quorvel
