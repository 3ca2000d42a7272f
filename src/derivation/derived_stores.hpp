// Stores derived from another store: cones and reductions. None of them
// changes the source store; each copies its nodes under the lock once and
// builds a brand-new store whose node map points back into the source.
//
// Every pass polls the thread's cancellation check (support/cancellation.hpp):
// Cancelled drops the half-built store and leaves the source as it was.
#pragma once

#include <memory>

#include "node/bad_node_id.hpp"
#include "node/node_id.hpp"
#include "optimizer/engine/rewrite_engine.hpp"
#include "optimizer/mod/reduced.hpp"
#include "store/graph_store.hpp"
#include "support/outcome.hpp"

namespace quorvel {

struct DerivedStore {
  std::unique_ptr<GraphStore> store;
  ReductionCounters report;
};

// Interns r's nodes into a new store, marks its outputs (repeats once) and
// stores its node map with positions turned into the new store's ids.
DerivedStore from_reduced(Reduced r);

// The nodes outputs depend on, in their source order, marked with outputs;
// the first id that names no node is reported before any work.
Outcome<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store, const NodeIds& outputs);

// Reduces the store against its marked outputs.
DerivedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);

// Reduces the store against exactly outputs (order and repeats kept); the
// first id that names no node is reported before any work.
Outcome<DerivedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const NodeIds& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion);

// The report of reduce_with and reduce_with_outputs alone: the counters
// come from the reduction, so the reduced store is never built.
ReductionCounters count_reduction(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);
Outcome<ReductionCounters, BadNodeId> count_reduction_with_outputs(const GraphStore& store, const NodeIds& outputs,
                                                                   const RewriteEngine& engine, bool maximal_fusion);

}  // namespace quorvel
