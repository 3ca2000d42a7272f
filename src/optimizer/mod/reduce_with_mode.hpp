// The reduction pipeline: dead-code elimination, canonicalization by the
// rewrite engine, common-subexpression elimination and stage fusion.
#pragma once

#include <vector>

#include "node/node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "optimizer/engine/rewrite_engine.hpp"
#include "optimizer/mod/reduced.hpp"

namespace quorvel {

// Seconds spent in each phase, for benchmarks.
struct ReductionTimings {
  double dead_code = 0;
  double engine_graph = 0;  // prototypes and the engine graph
  double engine = 0;
  double cse = 0;
  double fusion = 0;
};

// nodes: a node list in id order whose inputs name smaller ids; outputs:
// ids below nodes.size(). A pure function of its arguments: equal inputs
// give equal results. timings, when given, receives the phase times.
// Every pass polls the thread's cancellation check (support/cancellation.hpp);
// Cancelled leaves nothing behind.
Reduced reduce_with_mode(const NodeList& nodes, const NodeIds& outputs, const RewriteEngine& engine,
                         bool maximal_fusion, ReductionTimings* timings = nullptr);

}  // namespace quorvel
