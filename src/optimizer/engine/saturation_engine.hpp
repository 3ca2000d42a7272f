// The rewrite engine: equality saturation over an e-graph with the built-in
// rule set (commutativity of eight operators, add-zero and multiply-by-one).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "egraph/rewrite.hpp"
#include "optimizer/engine/rewrite_engine.hpp"

namespace quorvel::egraph {
class Runner;
}  // namespace quorvel::egraph

namespace quorvel {

class SaturationEngine final : public RewriteEngine {
 public:
  // Iterations: the built-in rules saturate in a few; twelve leave a rule
  // the scheduler banned time to come back, and bound a run on any graph.
  static constexpr std::uint64_t kDefaultIterLimit = 12;
  // E-nodes: a commute match adds one node and an identity match none, so
  // four per input node is room for every commuted node and the stale
  // entries merging leaves, and 1024 more keep small graphs from being cut
  // short.
  static constexpr std::uint64_t kNodeLimitPerInputNode = 4;
  static constexpr std::uint64_t kNodeLimitSlack = 1024;
  // Wall time: a last resort behind the other two limits, and the only one
  // that can make a result depend on the machine's speed.
  static constexpr std::chrono::seconds kTimeLimit{5};

  // The node limit of a run over an engine graph of n nodes.
  static constexpr std::uint64_t node_limit(std::uint64_t n) noexcept {
    return kNodeLimitPerInputNode * n + kNodeLimitSlack;
  }

  // The default rule set and iteration limit. The default rules are shared
  // by every engine of the process: constructing one copies no rule.
  SaturationEngine();
  // Another rule list (tests); the iteration limit stays the default.
  explicit SaturationEngine(std::vector<egraph::Rewrite> rules);

  // The default engine replays its run without an e-graph where the
  // replay is exact (builtin_run_replay.hpp), and runs the e-graph
  // otherwise; another rule list always runs it.
  CanonicalGraph canonicalize(const EngineGraph& graph) const override;
  // The run itself, over an e-graph, whatever the rules.
  CanonicalGraph canonicalize_with_egraph(const EngineGraph& graph) const;
  // Every run ends with a rebuild, which leaves no two classes holding
  // nodes of one op over the same child classes; the canonical graph keeps
  // one node per class, with inputs numbered by class.
  bool closes_under_congruence() const noexcept override { return true; }

  // Sets the three limits of a run over an engine graph of n nodes; the
  // scheduler stays the runner's default one.
  void configure(egraph::Runner& runner, std::size_t n) const;

  const std::vector<egraph::Rewrite>& rules() const noexcept { return *rules_; }
  std::uint64_t iter_limit() const noexcept { return iter_limit_; }

 private:
  std::shared_ptr<const std::vector<egraph::Rewrite>> rules_;
  std::uint64_t iter_limit_ = kDefaultIterLimit;
  bool builtin_rules_ = false;  // the rules are the built-in ones, which a replay knows
};

}  // namespace quorvel
