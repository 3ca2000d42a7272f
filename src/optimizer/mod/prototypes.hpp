// The prototypes table: for every engine key, the first kept node with it.
// Non-op nodes of the reduced graph are rebuilt from their prototype.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"

namespace quorvel {

class Prototypes {
 public:
  // nodes: the node list the recorded positions point into; the keys it
  // names must outlive the table.
  explicit Prototypes(NodeList nodes) : nodes_(std::move(nodes)) {}

  // Records position as the prototype of op unless op has one already.
  void offer(egraph::GlobalSymbol op, std::size_t position) { first_.try_emplace(op.handle(), position); }

  // The prototype of op; a key nobody offered is a broken guarantee of
  // the rewrite engine (an internal error).
  const NodeKey& at(egraph::GlobalSymbol op) const;

  void reserve(std::size_t n) { first_.reserve(n); }

 private:
  NodeList nodes_;
  // Only looked up, never iterated. Keyed by symbol handle with the
  // standard (identity) hash: handles carry a shard picked by the keyed
  // symbol table and a position assigned in order, never a caller's word.
  std::unordered_map<std::uint32_t, std::size_t> first_;
};

}  // namespace quorvel
