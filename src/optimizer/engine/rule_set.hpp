// The built-in canonicalization rules, in the order the runner applies them.
#pragma once

#include <vector>

#include "egraph/rewrite.hpp"

namespace quorvel {

// commute-add ... commute-minimum, then identity-0 ... identity-3. The
// patterns are parsed and compiled once per process; every call returns
// rules sharing them.
std::vector<egraph::Rewrite> default_rules();

}  // namespace quorvel
