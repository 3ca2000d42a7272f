#include "derivation/derived_stores.hpp"

#include <string>

#include "optimizer/mod/dead_code_elimination.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

DerivedStore from_reduced(Reduced r) {
  auto store = std::make_unique<GraphStore>();
  store->reserve(r.nodes.size());
  // Inputs are positions in r.nodes; they become the ids those positions
  // were interned as. Equal keys after renumbering intern as one node, so
  // ids may fall behind positions.
  auto interned = store->intern_positions(r.nodes);
  if (!interned.ok()) fail_invariant("reduced graph references only earlier nodes", interned.error().debug());
  const NodeIds ids = std::move(interned).value();
  for (NodeId p : r.outputs) {
    if (p >= ids.size() || !store->mark_output(ids[p]).ok()) {
      fail_invariant("reduced output is valid", std::to_string(p));
    }
  }
  // The map is renumbered in place rather than copied: a million-node map
  // is 16 MB.
  CancellationPoller cancellation;
  for (auto& entry : r.node_map) {
    cancellation.tick();
    if (!entry) continue;
    const NodeMapEntry e = *entry;
    if (e.id >= ids.size()) fail_invariant("reduced node map names reduced nodes", std::to_string(e.id));
    entry = NodeMapEntry{ids[e.id], e.member};
  }
  store->set_node_map(std::move(r.node_map));
  return DerivedStore{std::move(store), r.counters};
}

Outcome<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store, const NodeIds& outputs) {
  auto nodes = store.frozen_holding(outputs);
  if (!nodes.ok()) return failure(nodes.error());
  KeptGraph kept = dead_code_elimination(nodes.value(), outputs);
  Reduced r;
  r.nodes = std::move(kept.nodes);
  r.outputs = std::move(kept.outputs);
  r.node_map.resize(kept.kept_index.size());
  CancellationPoller cancellation;
  for (std::size_t x = 0; x < kept.kept_index.size(); ++x) {
    cancellation.tick();
    if (kept.kept_index[x] != kNoNode) r.node_map[x] = NodeMapEntry{kept.kept_index[x], std::nullopt};
  }
  return from_reduced(std::move(r)).store;
}

// Reductions read the store's keys in place (they never move or change)
// instead of copying them: the lock is held only to read the node count,
// the chunk addresses and the marks.
DerivedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion) {
  const GraphStore::FrozenView view = store.frozen();
  return from_reduced(reduce_with_mode(view.nodes, view.outputs, engine, maximal_fusion));
}

Outcome<DerivedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const NodeIds& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion) {
  auto nodes = store.frozen_holding(outputs);
  if (!nodes.ok()) return failure(nodes.error());
  return from_reduced(reduce_with_mode(nodes.value(), outputs, engine, maximal_fusion));
}

ReductionCounters count_reduction(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion) {
  const GraphStore::FrozenView view = store.frozen();
  return reduce_with_mode(view.nodes, view.outputs, engine, maximal_fusion).counters;
}

Outcome<ReductionCounters, BadNodeId> count_reduction_with_outputs(const GraphStore& store, const NodeIds& outputs,
                                                                   const RewriteEngine& engine, bool maximal_fusion) {
  auto nodes = store.frozen_holding(outputs);
  if (!nodes.ok()) return failure(nodes.error());
  return reduce_with_mode(nodes.value(), outputs, engine, maximal_fusion).counters;
}

}  // namespace quorvel
