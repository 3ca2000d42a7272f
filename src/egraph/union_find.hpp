// Union-find over class ids.
#pragma once

#include "egraph/id.hpp"
#include "support/union_find.hpp"

namespace quorvel::egraph {

// Merging policy (which root wins) belongs to the e-graph, which calls
// set_parent. kNoId is the one id it never hands out.
using UnionFind = quorvel::UnionFind<Id>;
static_assert(UnionFind::kNone == kNoId);

}  // namespace quorvel::egraph
