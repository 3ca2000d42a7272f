#pragma once

#include <cstdint>
#include <vector>

namespace quorvel {

// Dense node ids, handed out from 0 in order of first interning.
using NodeId = std::uint64_t;
using NodeIds = std::vector<NodeId>;

}  // namespace quorvel
