#include "optimizer/incremental/incremental_reducer.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "optimizer/engine/rule_set.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "support/cancellation.hpp"

namespace quorvel {

namespace {

// Steps use the rewrite engine's own operators and identity tokens, so a
// step only merges what a reduction would merge anyway.
//
// An add-zero or multiply-by-one op on one input. Like the engine's
// identity rules, only a one-input op stands for its input: an identity
// token on any other number of inputs is an ordinary node. The cheap checks
// come first, so that most nodes never build a token.
bool is_identity(const NodeKey& node) {
  if (node.kind() != NodeKind::Op || node.inputs().size() != 1 || node.params().size() != 2) return false;
  if (node.name() != "add" && node.name() != "mul") return false;
  const std::string token = node.token();
  const auto& tokens = identity_tokens();
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

// A parameterless two-input op whose inputs may be swapped.
bool is_commutative(const NodeKey& node) {
  if (node.kind() != NodeKind::Op || node.inputs().size() != 2 || !node.params().empty()) return false;
  return std::find(std::begin(kCommutativeOperators), std::end(kCommutativeOperators), node.name()) !=
         std::end(kCommutativeOperators);
}

}  // namespace

Outcome<std::uint64_t, BadNodeId> IncrementalReducer::step(std::vector<NodeKey> delta) {
  return consume_delta(delta.size(), [&](std::size_t k) -> NodeKey& { return delta[k]; });
}

Outcome<std::uint64_t, BadNodeId> IncrementalReducer::step_over(const NodeList& nodes) {
  const std::size_t begin = store_to_canonical_.size();
  const std::size_t count = nodes.size() > begin ? nodes.size() - begin : 0;
  return consume_delta(count, [&](std::size_t k) -> const NodeKey& { return nodes[begin + k]; });
}

template <class NodeAt>
Outcome<std::uint64_t, BadNodeId> IncrementalReducer::consume_delta(std::size_t count, NodeAt&& node_at) {
  NodeIds inputs;
  CancellationPoller cancellation;
  const Mark start = mark();
  // Every node consumed counts as work, also when the step fails part-way
  // (a bad input id, or an allocation): total_work() stays equal to the
  // watermark whatever happens. A cancelled step is rolled back first, so
  // it counts nothing.
  struct CountConsumed {
    IncrementalReducer& reducer;
    std::uint64_t start;
    ~CountConsumed() { reducer.total_work_ += reducer.store_to_canonical_.size() - start; }
  } count_consumed{*this, start.watermark};
  for (std::size_t k = 0; k < count; ++k) {
    auto& node = node_at(k);
    try {
      cancellation.tick();
    } catch (const Cancelled&) {
      rollback(start);
      throw;
    }
    // The node's own store id: every input must name an earlier node.
    const NodeId id = store_to_canonical_.size();
    inputs.clear();
    bool moved = false;
    for (NodeId input : node.inputs()) {
      if (input >= id) return failure(BadNodeId{input});
      const NodeId canonical = store_to_canonical_[input];
      inputs.push_back(canonical);
      moved = moved || canonical != input;
    }
    // A key of the delta is moved in; a key read in place is copied.
    consume(moved ? node.with_inputs(NodeInputs(inputs)) : NodeKey(std::move(node)));
  }
  return static_cast<std::uint64_t>(count);
}

void IncrementalReducer::consume(NodeKey&& node) {
  if (is_identity(node)) {
    store_to_canonical_.push_back(node.inputs()[0]);
    return;
  }
  const std::uint64_t hash = hashcons_.hash(node);
  std::optional<NodeId> found = find(node, hash);
  // The first orientation seen is the one kept: the other finds it.
  if (!found && is_commutative(node) && node.inputs()[0] != node.inputs()[1]) {
    const NodeKey swapped = node.with_inputs({node.inputs()[1], node.inputs()[0]});
    found = find(swapped, hashcons_.hash(swapped));
  }
  if (found) {
    store_to_canonical_.push_back(*found);
    return;
  }
  // Everything that allocates happens before anything changes, so that a
  // failed allocation leaves the node unconsumed.
  hashcons_.reserve_one();
  canonical_.reserve_one();
  const NodeId id = canonical_.size();
  store_to_canonical_.push_back(id);
  canonical_.append_reserved(std::move(node));
  hashcons_.insert_reserved(hash, id);
}

void IncrementalReducer::rollback(const Mark& m) noexcept {
  hashcons_.erase_from(m.canonical_count);
  canonical_.truncate(m.canonical_count);
  store_to_canonical_.resize(m.watermark);
  total_work_ = m.total_work;
}

Outcome<Reduced, BadNodeId> IncrementalReducer::finalize(const NodeIds& outputs, const RewriteEngine& engine,
                                                         bool maximal_fusion) const {
  NodeIds canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (NodeId output : outputs) {
    if (output >= store_to_canonical_.size()) return failure(BadNodeId{output});
    canonical_outputs.push_back(store_to_canonical_[output]);
  }
  Reduced reduced = reduce_with_mode(canonical_.prefix(canonical_.size()), canonical_outputs, engine, maximal_fusion);
  // Store nodes merged into one canonical node share its entry.
  NodeMap by_store_id;
  by_store_id.reserve(store_to_canonical_.size());
  CancellationPoller cancellation;
  for (NodeId canonical : store_to_canonical_) {
    cancellation.tick();
    by_store_id.push_back(reduced.node_map[canonical]);
  }
  reduced.node_map = std::move(by_store_id);
  return reduced;
}

}  // namespace quorvel
