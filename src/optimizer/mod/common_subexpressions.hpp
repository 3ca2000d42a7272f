// Common-subexpression elimination over the canonical graph.
#pragma once

#include <cstdint>
#include <vector>

#include "optimizer/engine/engine_graph.hpp"

namespace quorvel {

struct HashConsedGraph {
  EngineGraph graph;
  // Per canonical node: its position in graph.
  LargeVector<std::uint64_t> cse_index;
};

// Walks the canonical nodes in order; a node whose (op, mapped inputs)
// was seen before takes the earlier node's position.
HashConsedGraph cse(const EngineGraph& canonical);

}  // namespace quorvel
