// The e-graph's inline-first vector (support/small_vector.hpp).
#pragma once

#include "support/small_vector.hpp"

namespace quorvel::egraph {

using quorvel::SmallVector;

}  // namespace quorvel::egraph
