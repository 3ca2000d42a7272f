// Compiles a pattern expression into a matching program.
#pragma once

#include "egraph/pattern_ast.hpp"
#include "egraph/program.hpp"

namespace quorvel::egraph {

// The root's class is register 0. Pending work is a set of (pattern node,
// register) pairs, starting with (root, 0); each step takes the pair with
// the greatest key: first whether all of its free variables already have
// registers, then how many of them do not, then the negated size of its
// sub-pattern (smaller first); the earliest queued wins a tie.
//
// - a variable met for the first time takes the register; met again, it
//   emits Compare;
// - a non-leaf sub-pattern whose variables all have registers emits Lookup,
//   so ground sub-terms are checked by lookup instead of enumeration;
// - any other e-node emits Bind and queues its children in fresh registers.
//
// ast must be compacted (each variable occurs once) and non-empty.
Program compile_pattern(const PatternAst& ast);

}  // namespace quorvel::egraph
