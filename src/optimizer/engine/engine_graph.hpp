// The graph the reduction pipeline hands to the rewrite engine, and the
// engine's answer.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "node/node_id.hpp"
#include "optimizer/engine/engine_inputs.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

// One node: its operator symbol, its inputs (positions of earlier nodes of
// the same graph, in order, repeats kept) and whether fusion must leave it
// alone. The symbol's text is the node's engine key: its token, or for
// stage and external nodes a text that holds their whole content (see
// engine_key.hpp). Symbols compare equal exactly when their texts do.
// barrier is true for every node but an op node: the pipeline sets it once,
// from the kind of the store node, and every pass after copies it with the
// node that stands for a class or a key.
struct EngineNode {
  EngineNode(egraph::GlobalSymbol op_, EngineInputs inputs_, bool barrier_) noexcept
      : op(op_), barrier(barrier_), inputs(std::move(inputs_)) {}

  egraph::GlobalSymbol op;
  bool barrier = true;
  EngineInputs inputs;
};

static_assert(sizeof(void*) != 8 || sizeof(EngineNode) == 24, "an engine node takes 24 bytes on 64-bit targets");

struct EngineGraph {
  LargeVector<EngineNode> nodes;
  NodeIds outputs;  // positions in nodes; order and repeats kept
};

// What canonicalize returns: the canonical graph (one node per equivalence
// class, written as its earliest member) and, for every node of the input
// graph, the position of the canonical node that stands for it.
struct CanonicalGraph {
  EngineGraph graph;
  LargeVector<std::uint64_t> canonical_index;
};

}  // namespace quorvel
