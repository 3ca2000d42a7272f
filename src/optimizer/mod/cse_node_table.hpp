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

namespace quorvel {

template <class NodeHash>
class CseNodeTable {
 public:
  // A table for up to `expected` nodes of `nodes`, which it never grows past.
  CseNodeTable(const LargeVector<EngineNode>& nodes, std::size_t expected, NodeHash hash = NodeHash())
      : nodes_(nodes), hash_(std::move(hash)) {
    std::size_t capacity = 16;
    while (capacity < expected + expected / 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
  }

  // Where the lookup of a node starts, for a prefetch. (The caller issues
  // the prefetch itself: a member function doing nothing else is taken for
  // one without effects, and the compiler may drop calls to it.)
  const std::uint64_t* first_slot(egraph::GlobalSymbol op, std::span<const NodeId> inputs) const noexcept {
    return slots_.data() + (hash_(op, inputs) & (slots_.size() - 1));
  }

  // The position of an equal node, or kEmpty after recording position as
  // the node's (the caller then appends it at that position).
  std::uint64_t find_or_insert(egraph::GlobalSymbol op, std::span<const NodeId> inputs, std::uint64_t position) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t h = hash_(op, inputs);
    const std::uint64_t tag = h >> kPositionBits;
    for (std::size_t slot = h & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t entry = slots_[slot];
      if (entry == kEmpty) {
        slots_[slot] = (tag << kPositionBits) | position;
        return kEmpty;
      }
      // The tag settles most mismatches without reading the node.
      if ((entry >> kPositionBits) != tag) continue;
      const std::uint64_t held = entry & kPositionMask;
      const EngineNode& node = nodes_[held];
      if (node.op == op && node.inputs.size() == inputs.size() &&
          std::equal(inputs.begin(), inputs.end(), node.inputs.begin())) {
        return held;
      }
    }
  }

  // A slot holds a position in its low bits and the top bits of the node's
  // hash above them; all ones marks an empty slot.
  static constexpr unsigned kPositionBits = 40;
  static constexpr std::uint64_t kPositionMask = (std::uint64_t{1} << kPositionBits) - 1;
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

 private:
  const LargeVector<EngineNode>& nodes_;
  LargeVector<std::uint64_t> slots_;
  NodeHash hash_;
};

}  // namespace quorvel
