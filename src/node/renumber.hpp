// Carrying a node's inputs over to a graph derived from its own.
#pragma once

#include <type_traits>

#include "node/node_id.hpp"

namespace quorvel {

// Fills out with the new id of each of ids, in order. new_id is either a
// table indexed by old id (a kept index, a class-to-node table) or a
// function of the old id.
template <class Ids, class NewId>
void renumber(const Ids& ids, const NewId& new_id, NodeIds& out) {
  out.clear();
  for (NodeId id : ids) {
    if constexpr (std::is_invocable_v<const NewId&, NodeId>) {
      out.push_back(new_id(id));
    } else {
      out.push_back(new_id[id]);
    }
  }
}

}  // namespace quorvel
