#include "optimizer/mod/reduce_with_mode.hpp"

#include <chrono>

#include "egraph/global_symbol.hpp"
#include "egraph/local_symbols.hpp"
#include "node/renumber.hpp"
#include "optimizer/mod/common_subexpressions.hpp"
#include "optimizer/mod/dead_code_elimination.hpp"
#include "optimizer/mod/operator_symbols.hpp"
#include "optimizer/mod/prototypes.hpp"
#include "optimizer/mod/stage_fusion.hpp"
#include "support/cancellation.hpp"

namespace quorvel {

namespace {

using Clock = std::chrono::steady_clock;

// Adds the time since the last lap to a phase when timings are wanted.
class PhaseClock {
 public:
  explicit PhaseClock(ReductionTimings* timings) : timings_(timings), last_(timings ? Clock::now() : Clock::time_point{}) {}

  void lap(double ReductionTimings::*phase) {
    if (!timings_) return;
    const Clock::time_point now = Clock::now();
    timings_->*phase += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  ReductionTimings* timings_;
  Clock::time_point last_;
};

// One engine node per kept node, and the first kept node of every engine
// key as its prototype. Prototypes keep their original inputs, which
// fusion replaces. Every node but an op node is a barrier to fusion: the
// one place the flag is computed.
EngineGraph to_engine_graph(const NodeList& nodes, const Reachability& kept, OperatorSymbols& operators,
                            Prototypes& prototypes) {
  EngineGraph graph;
  graph.nodes.reserve(kept.kept_ids.size());
  NodeIds inputs;
  CancellationPoller cancellation;
  for (NodeId x : kept.kept_ids) {
    cancellation.tick();
    const NodeKey& node = nodes[x];
    const OperatorSymbols::Symbol op = operators.of(x);
    // A later node of an operator already seen cannot be its key's first.
    if (op.first) prototypes.offer(op.symbol, x);
    renumber(node.inputs(), kept.kept_index, inputs);
    graph.nodes.push_back(EngineNode{op.symbol, EngineInputs(inputs), node.kind() != NodeKind::Op});
  }
  graph.outputs = kept.outputs;
  return graph;
}

}  // namespace

Reduced reduce_with_mode(const NodeList& nodes, const NodeIds& outputs, const RewriteEngine& engine,
                         bool maximal_fusion, ReductionTimings* timings) {
  PhaseClock clock(timings);
  Reachability kept = reachable_from(nodes, outputs);
  const std::size_t reachable = kept.kept_ids.size();
  clock.lap(&ReductionTimings::dead_code);

  // Each working graph is dropped as soon as the next one is built, so the
  // peak holds at most two of them.
  // The engine keys of this reduction are numbered here and forgotten when
  // it ends; only texts that rules name have process-wide symbols.
  egraph::LocalSymbols symbols(reachable / 4);
  Prototypes prototypes(nodes);
  CanonicalGraph canonical;
  HashConsedGraph consed;
  {
    OperatorSymbols operators(nodes, symbols, reachable / 4);
    const EngineGraph engine_graph = to_engine_graph(nodes, kept, operators, prototypes);
    kept.kept_ids = NodeIds();
    clock.lap(&ReductionTimings::engine_graph);
    canonical = engine.canonicalize(engine_graph);
  }
  clock.lap(&ReductionTimings::engine);

  // The engine graph and the e-graph's tables, freed when the engine
  // returned, are kept by the large-block allocator and serve CSE's blocks.
  // An engine whose graph is closed under congruence leaves CSE nothing to
  // merge: its graph is taken as it is.
  const bool consed_by_engine = engine.closes_under_congruence();
  if (consed_by_engine) {
    consed.graph = std::move(canonical.graph);
  } else {
    consed = cse(canonical.graph);
  }
  canonical.graph = EngineGraph();
  clock.lap(&ReductionTimings::cse);

  FusedGraph fused = stage_fusion(consed.graph, prototypes, symbols, maximal_fusion);
  const std::size_t canonical_nodes = consed.graph.nodes.size();
  consed.graph = EngineGraph();

  Reduced r;
  r.node_map.resize(nodes.size());
  CancellationPoller cancellation;
  for (std::size_t x = 0; x < nodes.size(); ++x) {
    cancellation.tick();
    const std::uint64_t k = kept.kept_index[x];
    if (k == kNoNode) continue;
    const std::uint64_t c = canonical.canonical_index[k];
    r.node_map[x] = fused.landing[consed_by_engine ? c : consed.cse_index[c]];
  }
  r.counters.input_nodes = nodes.size();
  r.counters.reachable_nodes = reachable;
  r.counters.canonical_nodes = canonical_nodes;
  r.counters.stages = fused.stages;
  r.counters.boundary_nodes = fused.boundary_nodes;
  r.counters.reduced_nodes = fused.nodes.size();
  r.nodes = std::move(fused.nodes);
  r.outputs = std::move(fused.outputs);
  clock.lap(&ReductionTimings::fusion);
  return r;
}

}  // namespace quorvel
