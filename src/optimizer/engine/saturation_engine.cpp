#include "optimizer/engine/saturation_engine.hpp"


#include "egraph/egraph.hpp"
#include "egraph/runner.hpp"
#include "egraph/symbol_lang.hpp"
#include "optimizer/engine/builtin_run_replay.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/lookahead.hpp"

namespace quorvel {

SaturationEngine::SaturationEngine()
    : rules_(shared_default_rules()), builtin_rules_(true) {}

SaturationEngine::SaturationEngine(std::vector<egraph::Rewrite> rules)
    : rules_(std::make_shared<const std::vector<egraph::Rewrite>>(std::move(rules))) {}

namespace {

// Adds every node, in order, to a fresh e-graph; ids[i] is node i's class.
// Adding hash-conses, so equal tokens over equal classes share a class.
// The rules' root operators are indexed before the first node goes in, so
// the index grows with the classes instead of being built by a pass over
// them when the run starts.
egraph::EGraph add_all(const EngineGraph& graph, std::span<const egraph::GlobalSymbol> root_ops,
                       LargeVector<egraph::Id>& ids) {
  const std::size_t n = graph.nodes.size();
  if (n >= egraph::kNoId) fail_invariant("an engine graph has fewer nodes than class ids", std::to_string(n));
  egraph::EGraph egraph;
  egraph.reserve(n);
  egraph.index_operators(root_ops);
  ids.resize(n);
  std::vector<egraph::Id> children;
  // The memo and the children's class records are read at random: the node
  // kLookahead places ahead is announced so that they are on their way into
  // the cache when it is added. The classes of the nodes in between are not
  // known yet; each is predicted to be new, taking the next id in turn, which
  // holds unless one of them duplicates an earlier node (a wrong guess only
  // wastes the hint).
  constexpr std::size_t kLookahead = 16;
  const bool look_ahead = worth_looking_ahead(n);
  std::vector<egraph::Id> ahead;
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < n; ++i) {
    cancellation.tick();
    if (look_ahead && i + kLookahead < n) {
      const EngineNode& next = graph.nodes[i + kLookahead];
      const std::size_t next_id = egraph.number_of_ids();
      ahead.clear();
      for (NodeId input : next.inputs) {
        ahead.push_back(input < i ? ids[input] : static_cast<egraph::Id>(next_id + (input - i)));
      }
      egraph.prefetch_add(egraph::SymbolLang(next.op, ahead));
    }
    const EngineNode& node = graph.nodes[i];
    children.clear();
    for (NodeId input : node.inputs) {
      if (input >= i) fail_invariant("engine graph inputs name earlier nodes", std::to_string(i));
      children.push_back(ids[input]);
    }
    ids[i] = egraph.add(egraph::SymbolLang(node.op, children));
  }
  return egraph;
}

}  // namespace

void SaturationEngine::configure(egraph::Runner& runner, std::size_t n) const {
  runner.set_iter_limit(iter_limit_);
  runner.set_node_limit(node_limit(n));
  runner.set_time_limit(kTimeLimit);
}

namespace {

// The canonical graph of a partition of the nodes into classes, numbered
// in order of their earliest member (position[i] is node i's class): each
// class written as its earliest member, with that member's own token,
// barrier flag and input order, at the position its number gives.
CanonicalGraph write_representatives(const EngineGraph& graph, std::span<const std::uint32_t> position,
                                     std::size_t class_count) {
  const std::size_t n = graph.nodes.size();
  CanonicalGraph result;
  result.canonical_index.assign(position.begin(), position.end());
  result.graph.nodes.reserve(class_count);
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < n; ++i) {
    cancellation.tick();
    if (position[i] != result.graph.nodes.size()) continue;
    const EngineNode& node = graph.nodes[i];
    EngineInputs inputs;
    for (const std::uint32_t input : node.inputs) inputs.push_back(position[input]);
    result.graph.nodes.push_back(EngineNode{node.op, std::move(inputs), node.barrier});
  }
  if (result.graph.nodes.size() != class_count) {
    fail_invariant("classes are numbered by their earliest member", std::to_string(class_count));
  }
  result.graph.outputs.reserve(graph.outputs.size());
  for (NodeId output : graph.outputs) {
    if (output >= n) fail_invariant("engine graph outputs name nodes", std::to_string(output));
    result.graph.outputs.push_back(position[output]);
  }
  return result;
}

}  // namespace

CanonicalGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
  if (builtin_rules_) {
    const std::optional<ReplayedClasses> replayed =
        replay_builtin_run(graph, iter_limit_, node_limit(graph.nodes.size()));
    if (replayed) return write_representatives(graph, replayed->classes, replayed->class_count);
  }
  return canonicalize_with_egraph(graph);
}

CanonicalGraph SaturationEngine::canonicalize_with_egraph(const EngineGraph& graph) const {
  const std::size_t n = graph.nodes.size();
  LargeVector<egraph::Id> ids;
  egraph::Runner runner;
  runner.set_egraph(add_all(graph, egraph::root_operators(*rules_), ids));
  configure(runner, n);
  // Whatever stopped the run, every merge it made is sound.
  runner.run(*rules_);
  const egraph::EGraph& egraph = runner.egraph();
  // Each class numbered by its earliest member: index_of[root] once that
  // member has been seen.
  LargeVector<std::uint32_t> index_of(egraph.number_of_ids(), egraph::kNoId);
  LargeVector<std::uint32_t> position(n);
  std::uint32_t classes = 0;
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < n; ++i) {
    cancellation.tick();
    std::uint32_t& index = index_of[egraph.find(ids[i])];
    if (index == egraph::kNoId) index = classes++;
    position[i] = index;
  }
  return write_representatives(graph, position, classes);
}

}  // namespace quorvel
