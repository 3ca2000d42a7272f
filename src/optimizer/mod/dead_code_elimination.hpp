// Dead-code elimination: the nodes a list of outputs depends on.
#pragma once

#include <cstdint>
#include <vector>

#include "node/node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

struct KeptGraph {
  // The reached nodes in ascending order of their input ids, inputs
  // renumbered to kept positions.
  std::vector<NodeKey> nodes;
  // One kept position per requested output, in request order.
  NodeIds outputs;
  // Per input node: its kept position, or kNoNode.
  LargeVector<std::uint64_t> kept_index;

};

// What dead-code elimination keeps, before any key is copied: the input
// ids of the kept nodes (ascending), the kept outputs and kept_index.
struct Reachability {
  NodeIds kept_ids;
  NodeIds outputs;
  LargeVector<std::uint64_t> kept_index;
};

// outputs must be ids below nodes.size(); one sweep over the nodes, no recursion.
Reachability reachable_from(const NodeList& nodes, const NodeIds& outputs);

// The same, with the kept nodes copied and their inputs renumbered.
KeptGraph dead_code_elimination(const NodeList& nodes, const NodeIds& outputs);

}  // namespace quorvel
