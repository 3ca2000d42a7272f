#include "optimizer/mod/common_subexpressions.hpp"

#include <span>
#include <string>

#include "optimizer/mod/cse_node_table.hpp"
#include "support/hash_mix.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/keyed_hash.hpp"

namespace quorvel {

namespace {

// The hash the pass files nodes under, seeded afresh for every table.
//
// Not the keyed hash of the store's index, by choice: the words are a symbol
// handle (from the keyed symbol table, random per process) and positions in
// the graph, assigned in order; a caller picks neither word, only which
// earlier positions a node reads, and every word passes a full avalanche
// after the random seed.
class SeededNodeHash {
 public:
  SeededNodeHash() : seed_(fresh_hash_key().k0) {}

  std::uint64_t operator()(egraph::GlobalSymbol op, std::span<const NodeId> inputs) const noexcept {
    std::uint64_t h = hash_combine(seed_, op.handle());
    for (NodeId input : inputs) h = hash_combine(h, input);
    return h;
  }

 private:
  std::uint64_t seed_;
};

using NodeTable = CseNodeTable<SeededNodeHash>;

}  // namespace

HashConsedGraph cse(const EngineGraph& canonical) {
  const std::size_t n = canonical.nodes.size();
  HashConsedGraph result;
  result.cse_index.resize(n);
  result.graph.nodes.reserve(n);
  // Sized for every node up front, so it never grows.
  if (n >= NodeTable::kPositionMask - 1) {
    fail_invariant("a graph to hash-cons has fewer than 2^40 - 2 nodes", std::to_string(n));
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
