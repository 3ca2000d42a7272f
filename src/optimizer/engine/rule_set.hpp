// The built-in canonicalization rules, in the order the runner applies them.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/rewrite.hpp"

namespace quorvel {

// The two-input operators whose inputs may be swapped (exactly this name,
// no parameters).
inline constexpr std::string_view kCommutativeOperators[] = {"add",  "mul", "and",     "or",
                                                             "eq",   "ne",  "maximum", "minimum"};

// The tokens of add-zero and multiply-by-one ops, either side: a one-input
// op with one of them stands for its input. They are the node tokens of the
// ops add and mul with the parameters scalar (the Float 0.0 or 1.0) and side
// ("r" or "l"), built once by the token code, in rule order: add right, add
// left, mul right, mul left.
const std::array<std::string, 4>& identity_tokens();

// commute-add ... commute-minimum, then identity-0 ... identity-3. The
// patterns are parsed and compiled once per process; every call returns
// rules sharing them.
std::vector<egraph::Rewrite> default_rules();

// The same rules, built once per process and shared without copying.
const std::shared_ptr<const std::vector<egraph::Rewrite>>& shared_default_rules();

}  // namespace quorvel
