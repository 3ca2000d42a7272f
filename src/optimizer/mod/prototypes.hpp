// The prototypes table: for every engine key, the first kept node with it.
// Non-op nodes of the reduced graph are rebuilt from their prototype.
#pragma once

#include <cstdint>

#include "egraph/global_symbol.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "support/open_table.hpp"

namespace quorvel {

class Prototypes {
 public:
  // nodes: the node list the recorded positions point into; the keys it
  // names must outlive the table.
  explicit Prototypes(NodeList nodes) : nodes_(std::move(nodes)) {}

  // Records position as the prototype of op unless op has one already.
  void offer(egraph::GlobalSymbol op, std::uint64_t position);
  // The prototype of op; a key nobody offered is a broken guarantee of
  // the rewrite engine (an internal error).
  const NodeKey& at(egraph::GlobalSymbol op) const;
  // Room for this many keys without growing.
  void reserve(std::size_t keys);

 private:
  // Keyed by symbol handle, which is never 0 (the null symbol is never
  // offered), so a zero slot is free. Only looked up, never iterated, so the
  // slot order decides nothing. Handles come from the keyed symbol tables
  // or are numbered in order, never a caller's word, so the fixed mix
  // cannot be steered into collisions. Positions are store ids, below 2^32.
  struct Slot {
    std::uint32_t handle;
    std::uint32_t position;
  };
  static std::uint64_t home(const Slot& slot) noexcept;

  NodeList nodes_;
  OpenTable<Slot> slots_;
};

}  // namespace quorvel
