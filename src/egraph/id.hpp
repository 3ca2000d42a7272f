// Class ids of the e-graph.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvel::egraph {

// An e-class id. Ids are handed out consecutively from 0, one per class ever
// created; a merged-away id stays valid and leads to its class through the
// union-find.
using Id = std::uint32_t;

// Marks "no id" in tables and lookups; never handed out as a class id.
inline constexpr Id kNoId = std::numeric_limits<Id>::max();

}  // namespace quorvel::egraph
