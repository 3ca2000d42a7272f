// Where a node of the store a derived store came from landed in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "node/node_id.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

struct NodeMapEntry {
  NodeId id;                          // the node of the derived store
  std::optional<std::size_t> member;  // the member index inside a stage

  friend bool operator==(const NodeMapEntry&, const NodeMapEntry&) = default;
};

// Where one node landed, or nothing when it was dropped: a
// std::optional<NodeMapEntry> in 16 bytes instead of 32, read the same way
// (`if (slot)`, `slot->id`, `*slot`). A node map holds one per node of the
// source store, and fusion one per canonical node.
class NodeMapSlot {
 public:
  constexpr NodeMapSlot() noexcept = default;
  constexpr NodeMapSlot(std::nullopt_t) noexcept {}  // NOLINT(google-explicit-constructor)
  constexpr NodeMapSlot(const NodeMapEntry& entry) noexcept  // NOLINT(google-explicit-constructor)
      : id_(entry.id), member_(entry.member ? *entry.member + 1 : 0) {}
  constexpr NodeMapSlot(const std::optional<NodeMapEntry>& entry) noexcept  // NOLINT(google-explicit-constructor)
      : NodeMapSlot(entry ? NodeMapSlot(*entry) : NodeMapSlot()) {}

  constexpr bool has_value() const noexcept { return id_ != kNoNode; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  // The entry; only when has_value().
  constexpr NodeMapEntry operator*() const noexcept {
    return NodeMapEntry{id_, member_ != 0 ? std::optional<std::size_t>(member_ - 1) : std::nullopt};
  }
  // slot->id and slot->member read a copy of the entry.
  struct Arrow {
    NodeMapEntry entry;
    constexpr const NodeMapEntry* operator->() const noexcept { return &entry; }
  };
  constexpr Arrow operator->() const noexcept { return Arrow{**this}; }

  friend constexpr bool operator==(const NodeMapSlot&, const NodeMapSlot&) = default;
  // Spelled out so that an empty optional meets an empty slot (the
  // optional's own comparison would ask whether it holds a value first).
  friend constexpr bool operator==(const NodeMapSlot& a, const std::optional<NodeMapEntry>& b) noexcept {
    return a == NodeMapSlot(b);
  }

 private:
  // Ids are dense positions and member indexes count members: neither
  // comes near these values.
  NodeId id_ = kNoNode;
  std::uint64_t member_ = 0;  // the member index + 1; 0 outside a stage
};
static_assert(sizeof(NodeMapSlot) == 16);

// One entry per node of the source store; empty when the node was dropped.
// A million-node map takes 16 MB: it lives in huge-page blocks.
using NodeMap = LargeVector<NodeMapSlot>;

}  // namespace quorvel
