#include "optimizer/mod/common_subexpressions.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "support/hash_mix.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/keyed_hash.hpp"

namespace quorvel {

namespace {

// Open addressing over positions of the hash-consed graph. Keys (op and
// inputs) are compared in the graph itself, never copied. The table is
// only looked up, so its seed cannot show in the result.
//
// Not the keyed hash of the store's index, by choice: the words are a symbol
// handle (from the keyed symbol table, random per process) and positions in
// the graph, assigned in order; a caller picks neither word, only which
// earlier positions a node reads, and every word passes a full avalanche
// after the random seed.
class NodeTable {
 public:
  NodeTable(const LargeVector<EngineNode>& nodes, std::size_t expected) : nodes_(nodes) {
    std::size_t capacity = 16;
    while (capacity < expected + expected / 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    seed_ = fresh_hash_key().k0;
  }

  std::uint64_t hash(egraph::GlobalSymbol op, std::span<const NodeId> inputs) const noexcept {
    std::uint64_t h = hash_combine(seed_, op.handle());
    for (NodeId input : inputs) h = hash_combine(h, input);
    return h;
  }

  // Where the lookup of a node starts, for a prefetch. (The caller issues
  // the prefetch itself: a member function doing nothing else is taken for
  // one without effects, and the compiler may drop calls to it.)
  const std::uint64_t* first_slot(egraph::GlobalSymbol op, std::span<const NodeId> inputs) const noexcept {
    return slots_.data() + (hash(op, inputs) & (slots_.size() - 1));
  }

  // The position of an equal node, or kEmpty after recording position as
  // the node's (the caller then appends it at that position).
  std::uint64_t find_or_insert(egraph::GlobalSymbol op, std::span<const NodeId> inputs, std::uint64_t position) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t h = hash(op, inputs);
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
  std::uint64_t seed_ = 0;
};

}  // namespace

HashConsedGraph cse(const EngineGraph& canonical) {
  const std::size_t n = canonical.nodes.size();
  HashConsedGraph result;
  result.cse_index.resize(n);
  result.graph.nodes.reserve(n);
  // Sized for every node up front, so it never grows.
  if (n >= NodeTable::kPositionMask) {
    fail_invariant("a graph to hash-cons has fewer than 2^40 - 1 nodes", std::to_string(n));
  }
  NodeTable table(result.graph.nodes, n);
  NodeIds inputs;
  // The table is probed at random: the node kLookahead places ahead is
  // announced. The positions of the nodes in between are predicted: each is
  // taken to be new and to land at the next position, which holds unless
  // one of them repeats an earlier node (a wrong guess only wastes the hint).
  constexpr std::size_t kLookahead = 16;
  NodeIds ahead;
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < n; ++i) {
    cancellation.tick();
    if (i + kLookahead < n) {
      const EngineNode& next = canonical.nodes[i + kLookahead];
      const std::uint64_t next_position = result.graph.nodes.size();
      ahead.clear();
      for (NodeId input : next.inputs) {
        ahead.push_back(input < i ? result.cse_index[input] : next_position + (input - i));
      }
      __builtin_prefetch(table.first_slot(next.op, ahead));
    }
    const EngineNode& node = canonical.nodes[i];
    inputs.clear();
    for (NodeId input : node.inputs) {
      if (input >= i) fail_invariant("canonical inputs name earlier nodes", std::to_string(i));
      inputs.push_back(result.cse_index[input]);
    }
    const std::uint64_t position = result.graph.nodes.size();
    const std::uint64_t held = table.find_or_insert(node.op, inputs, position);
    if (held != NodeTable::kEmpty) {
      result.cse_index[i] = held;
      continue;
    }
    result.graph.nodes.push_back(EngineNode{node.op, EngineInputs(inputs), node.barrier});
    result.cse_index[i] = position;
  }
  result.graph.outputs.reserve(canonical.outputs.size());
  for (NodeId output : canonical.outputs) {
    if (output >= n) fail_invariant("canonical outputs name nodes", std::to_string(output));
    result.graph.outputs.push_back(result.cse_index[output]);
  }
  return result;
}

}  // namespace quorvel
