// A value or an error, for operations whose failures are ordinary results:
// the project's Outcome, under the name the engine uses.
#pragma once

#include "support/outcome.hpp"

namespace quorvel::egraph {

template <typename T, typename E>
using Result = quorvel::Outcome<T, E>;

}  // namespace quorvel::egraph
