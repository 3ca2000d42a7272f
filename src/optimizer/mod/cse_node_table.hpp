// The table of common-subexpression elimination: open addressing over
// positions of the hash-consed graph. Keys (op and inputs) are compared in
// the graph itself, never copied. The table is only looked up, so its hash
// cannot show in the result.
//
// The hash is a template parameter: the pass files nodes under its seeded
// mix, and tests substitute one under which every node collides, so that
// the comparison of the nodes themselves is what tells them apart.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "optimizer/engine/engine_graph.hpp"
#include "support/open_table.hpp"

namespace quorvel {

template <class NodeHash>
class CseNodeTable {
 public:
  // A table for up to `expected` nodes of `nodes`, which it never grows past.
  CseNodeTable(const LargeVector<EngineNode>& nodes, std::size_t expected, NodeHash hash = NodeHash())
      : nodes_(nodes), hash_(std::move(hash)) {
    table_.reserve(expected, HomeOf{this});
  }

  // Where the lookup of a node starts, for a prefetch.
  const void* first_slot(egraph::GlobalSymbol op, std::span<const NodeId> inputs) const noexcept {
    return table_.home_slot(hash_(op, inputs));
  }

  // The position of an equal node, or kEmpty after recording position as
  // the node's (the caller then appends it at that position).
  std::uint64_t find_or_insert(egraph::GlobalSymbol op, std::span<const NodeId> inputs, std::uint64_t position) {
    const std::uint64_t h = hash_(op, inputs);
    const std::uint64_t tag = h >> kPositionBits;
    const auto probe = table_.find_or_room(
        h,
        [&](const Slot& slot) {
          // The tag settles most mismatches without reading the node.
          if ((slot.entry >> kPositionBits) != tag) return false;
          const EngineNode& node = nodes_[held(slot)];
          return node.op == op && node.inputs.size() == inputs.size() &&
                 std::equal(inputs.begin(), inputs.end(), node.inputs.begin());
        },
        HomeOf{this});
    if (probe.found) return held(*probe.slot);
    table_.fill(probe.slot, Slot{(tag << kPositionBits) | (position + 1)});
    return kEmpty;
  }

  // A slot holds a position plus one in its low bits and the top bits of
  // the node's hash above them; zero marks an empty slot.
  static constexpr unsigned kPositionBits = 40;
  static constexpr std::uint64_t kPositionMask = (std::uint64_t{1} << kPositionBits) - 1;
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

 private:
  struct Slot {
    std::uint64_t entry;
  };
  static std::uint64_t held(const Slot& slot) noexcept { return (slot.entry & kPositionMask) - 1; }
  // The hash a held node was filed under, recomputed from the node (only
  // if more nodes than expected arrive).
  struct HomeOf {
    const CseNodeTable* table;
    std::uint64_t operator()(const Slot& slot) const {
      const EngineNode& node = table->nodes_[held(slot)];
      const NodeIds inputs = node.inputs.to_vector();
      return table->hash_(node.op, inputs);
    }
  };

  const LargeVector<EngineNode>& nodes_;
  OpenTable<Slot> table_;
  NodeHash hash_;
};

}  // namespace quorvel
