#include "store/derived_stores.hpp"

#include <string>

#include "optimizer/mod/dead_code_elimination.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

DerivedStore from_reduced(Reduced r) {
  auto store = std::make_unique<GraphStore>();
  store->reserve(r.nodes.size());
  // Inputs are positions in r.nodes; they become the ids those positions
  // were interned as. Equal keys after renumbering intern as one node, so
  // ids may fall behind positions.
  NodeIds ids;
  ids.reserve(r.nodes.size());
  NodeIds inputs;
  for (NodeKey& key : r.nodes) {
    inputs.clear();
    for (NodeId p : key.inputs()) {
      if (p >= ids.size()) fail_invariant("reduced graph references only earlier nodes", std::to_string(p));
      inputs.push_back(ids[p]);
    }
    NodeKey renumbered = inputs == key.inputs() ? std::move(key) : key.with_inputs(NodeInputs(inputs));
    auto id = store->intern(std::move(renumbered));
    if (!id.ok()) fail_invariant("reduced graph references only earlier nodes", std::to_string(id.error().id));
    ids.push_back(id.value());
  }
  for (NodeId p : r.outputs) {
    if (p >= ids.size() || !store->mark_output(ids[p]).ok()) {
      fail_invariant("reduced output is valid", std::to_string(p));
    }
  }
  NodeMap map;
  map.reserve(r.node_map.size());
  for (const auto& entry : r.node_map) {
    if (!entry) {
      map.emplace_back();
      continue;
    }
    if (entry->id >= ids.size()) fail_invariant("reduced node map names reduced nodes", std::to_string(entry->id));
    map.emplace_back(NodeMapEntry{ids[entry->id], entry->member});
  }
  store->set_node_map(std::move(map));
  return DerivedStore{std::move(store), r.counters};
}

Outcome<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store, const NodeIds& outputs) {
  auto nodes = store.arena_holding(outputs);
  if (!nodes.ok()) return failure(nodes.error());
  KeptGraph kept = dead_code_elimination(nodes.value(), outputs);
  Reduced r;
  r.nodes = std::move(kept.nodes);
  r.outputs = std::move(kept.outputs);
  r.node_map.resize(kept.kept_index.size());
  for (std::size_t x = 0; x < kept.kept_index.size(); ++x) {
    if (kept.kept_index[x] != KeptGraph::kDropped) r.node_map[x] = NodeMapEntry{kept.kept_index[x], std::nullopt};
  }
  return from_reduced(std::move(r)).store;
}

DerivedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion) {
  const Snapshot snapshot = store.snapshot();
  return from_reduced(reduce_with_mode(snapshot.nodes, snapshot.outputs, engine, maximal_fusion));
}

Outcome<DerivedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const NodeIds& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion) {
  auto nodes = store.arena_holding(outputs);
  if (!nodes.ok()) return failure(nodes.error());
  return from_reduced(reduce_with_mode(nodes.value(), outputs, engine, maximal_fusion));
}

}  // namespace quorvel
