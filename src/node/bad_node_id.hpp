// The error for an id that names no node: of a store, of a graph handed to
// the incremental reducer, of a reduction's outputs.
#pragma once

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

}  // namespace quorvel
