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

// What a replay of a run of the built-in rules needs to know of each, in
// rule order, read off the shared rules themselves: the name (the scheduler
// keeps its statistics by name), the operator at the root of the searcher,
// and whether the rule swaps the two inputs of a node (commute-*) or stands
// a one-input node for its input (identity-*).
struct BuiltinRule {
  egraph::GlobalSymbol name;
  egraph::GlobalSymbol op;
  bool commutes = false;
};
inline constexpr std::size_t kBuiltinRuleCount = std::size(kCommutativeOperators) + 4;
const std::array<BuiltinRule, kBuiltinRuleCount>& builtin_rules();

}  // namespace quorvel
