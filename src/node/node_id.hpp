#pragma once

#include <cstdint>
#include <vector>

namespace quorvel {

// Dense node ids, handed out from 0 in order of first interning.
using NodeId = std::uint64_t;
using NodeIds = std::vector<NodeId>;

// The id no node ever has (a store holds fewer than 2^32 nodes): "no
// node" in tables indexed by node (a dropped node's landing or kept
// position, a group not yet emitted, a class not yet given a node).
inline constexpr NodeId kNoNode = ~NodeId{0};

}  // namespace quorvel
