// Pattern text to pattern expression.
#pragma once

#include <string_view>

#include "egraph/pattern_ast.hpp"
#include "egraph/pattern_parse_error.hpp"
#include "egraph/result.hpp"

namespace quorvel::egraph {

// Parses s-expression text into a pattern expression, children first. An
// atom is a leaf; a list is its head atom applied to the remaining elements.
// An operator text "?" + more is a variable, which must have no children.
// The result is not yet compacted.
Result<PatternAst, PatternParseError> parse_pattern_ast(std::string_view text);

// Stores identical pattern nodes once, so repeated sub-patterns are shared.
// The root stays the last node.
PatternAst compact_pattern(const PatternAst& ast);

}  // namespace quorvel::egraph
