// The saturation run of the built-in rules, replayed by hash-consing.
//
// With only the built-in rules, the classes a run ends with are decided by
// which rules it ever applied. A commute rule, once applied, has added the
// swapped form of every node of its operator, and the only nodes of that
// operator ever added later are those swapped forms; an identity rule, once
// applied, has merged every node of its token with its input, and no node
// of that token is ever added. After the rebuild that ends each iteration,
// the classes are therefore the least congruence holding those rules'
// equations, and one pass over the graph in input order finds it:
// hash-consing each node over its inputs' classes, with the inputs of an
// applied commute rule's node in ascending order, and an applied identity
// rule's node in its input's class.
//
// Which rules a run applies is the backoff scheduler's choice, made from
// the number of matches of each rule in each iteration: the number of
// distinct e-nodes of the rule's operator and arity, which the same pass
// counts. The replay makes the scheduler's decisions with the scheduler
// itself, iteration by iteration, and hash-conses again only when a rule is
// applied for the first time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "optimizer/engine/engine_graph.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

struct ReplayedClasses {
  // classes[i] stands for node i's class: equal numbers, one class.
  LargeVector<std::uint32_t> classes;
  std::size_t class_count = 0;  // every number lies below it
};

// The classes that a run of the built-in rules over graph ends with: the
// nodes added in order, then at most iter_limit iterations under a default
// backoff scheduler, the run stopping when saturated. Nothing, when the
// replay cannot rule out that the run's e-graph outgrows node_limit (its
// total size counts stale hash-cons entries, which depend on the order of
// its merges): the e-graph must then run. A run that reaches its time
// limit is not replayed; the replay is what it finds when it does not.
std::optional<ReplayedClasses> replay_builtin_run(const EngineGraph& graph, std::uint64_t iter_limit,
                                                  std::uint64_t node_limit);

}  // namespace quorvel
