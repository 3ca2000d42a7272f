// Stage fusion: groups the op nodes of the hash-consed graph into stages
// and emits one reduced node per group, in dependency order.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "node/node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_map_entry.hpp"
#include "egraph/local_symbols.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/prototypes.hpp"

namespace quorvel {

struct FusedGraph {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
  // Per hash-consed node: (new id, member index inside a stage or none).
  LargeVector<NodeMapSlot> landing;
  std::size_t stages = 0;
  std::size_t boundary_nodes = 0;
};

// maximal_fusion false: an op joins its consumer's stage only when that
// consumer is its one use; true: also when all of its uses land in one
// stage. Outputs and non-op nodes are never absorbed.
FusedGraph stage_fusion(const EngineGraph& graph, const Prototypes& prototypes, const egraph::LocalSymbols& symbols,
                        bool maximal_fusion);

}  // namespace quorvel
