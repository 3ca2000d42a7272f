// The built-in canonicalization rules, in the order the runner applies them.
#pragma once

#include <string_view>
#include <vector>

#include "egraph/rewrite.hpp"

namespace quorvel {

// The two-input operators whose inputs may be swapped (exactly this name,
// no parameters).
inline constexpr std::string_view kCommutativeOperators[] = {"add",  "mul", "and",     "or",
                                                             "eq",   "ne",  "maximum", "minimum"};

// The tokens of add-zero and multiply-by-one ops, either side: a one-input
// op with one of them stands for its input.
inline constexpr std::string_view kIdentityTokens[] = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// commute-add ... commute-minimum, then identity-0 ... identity-3. The
// patterns are parsed and compiled once per process; every call returns
// rules sharing them.
std::vector<egraph::Rewrite> default_rules();

}  // namespace quorvel
