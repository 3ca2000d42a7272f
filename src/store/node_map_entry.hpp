// Where a node of the store a derived store came from landed in it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "node/node_id.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

struct NodeMapEntry {
  NodeId id;                          // the node of the derived store
  std::optional<std::size_t> member;  // the member index inside a stage

  friend bool operator==(const NodeMapEntry&, const NodeMapEntry&) = default;
};

// One entry per node of the source store; empty when the node was dropped.
// A million-node map takes 32 MB: it lives in huge-page blocks.
using NodeMap = LargeVector<std::optional<NodeMapEntry>>;

}  // namespace quorvel
