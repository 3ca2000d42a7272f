// The prototypes table: for every engine key, the first kept node with it.
// Non-op nodes of the reduced graph are rebuilt from their prototype.
#pragma once

#include <cstdint>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "support/large_block_allocator.hpp"

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
  // Open addressing with linear probing over symbol handles, which are
  // never 0 (the null symbol is never offered): a zero handle marks a free
  // slot. Only looked up, never iterated, so the slot order decides
  // nothing. Handles carry a shard picked by the keyed symbol table and a
  // position assigned in order, never a caller's word, so the fixed mix
  // cannot be steered into collisions.
  struct Slot {
    std::uint32_t handle;
    std::uint64_t position;
  };
  std::size_t slot_of(std::uint32_t handle) const noexcept;
  void grow(std::size_t capacity);

  NodeList nodes_;
  LargeVector<Slot> slots_;  // a power of two in size, at most half full
  std::size_t count_ = 0;
};

}  // namespace quorvel
