// The error for an id that names no node: of a store, of a graph handed to
// the incremental reducer, of a reduction's outputs.
#pragma once

#include <optional>
#include <string>

#include "node/node_id.hpp"

namespace quorvel {

struct BadNodeId {
  NodeId id;

  // The text callers see: "no node with id 7".
  std::string message() const { return "no node with id " + std::to_string(id); }
  // The form used inside internal-error messages: "BadNodeId(7)".
  std::string debug() const { return "BadNodeId(" + std::to_string(id) + ")"; }

  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// The error for the first of ids that names none of count nodes (ids 0 to
// count - 1), or nothing when every one does: the one range check on ids
// from outside, be they inputs, outputs or marks.
template <class Ids>
std::optional<BadNodeId> first_unknown(const Ids& ids, std::uint64_t count) noexcept {
  for (NodeId id : ids) {
    if (id >= count) return BadNodeId{id};
  }
  return std::nullopt;
}

}  // namespace quorvel
