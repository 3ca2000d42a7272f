// The replayed run of the built-in rules against the run itself: on graphs
// whose rules the scheduler admits, bans, lets back and bans again, the
// replay must find the e-graph's classes exactly, and must give way to the
// e-graph where its bound on the e-graph's size says it cannot tell.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/runner.hpp"
#include "egraph/symbol_lang.hpp"
#include "optimizer/engine/builtin_run_replay.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

// How a random graph is drawn: nodes of each operator in proportion to its
// weight, inputs picked among the last `window` nodes (a small window makes
// equal inputs, and so hash-consing and congruence, frequent).
struct Mix {
  std::string name;
  std::size_t nodes;
  std::size_t window;
  unsigned commute_weight;   // the eight commutative operators
  unsigned identity_weight;  // the four identity tokens
  unsigned other_weight;     // other one- and two-input ops, some with three inputs
  unsigned seed;
};

EngineGraph random_graph(const Mix& mix) {
  static const std::vector<std::string> commutative = {"op|add", "op|mul", "op|and",     "op|or",
                                                       "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
  static const std::vector<std::string> identities(identity_tokens().begin(), identity_tokens().end());
  static const std::vector<std::string> others = {"op|sub", "op|neg", "op|f", "op|add|scalar=i0;side=sr", "join|inner"};
  std::mt19937_64 rng(mix.seed);
  EngineGraph g;
  const unsigned total = mix.commute_weight + mix.identity_weight + mix.other_weight;
  auto pick = [&](std::size_t i) -> NodeId {
    const std::size_t low = i > mix.window ? i - mix.window : 0;
    return low + rng() % (i - low);
  };
  for (std::size_t i = 0; i < mix.nodes; ++i) {
    if (i < 4 || rng() % 50 == 0) {
      g.nodes.push_back(enode("src|s" + std::to_string(rng() % (i / 8 + 2)), {}));
      continue;
    }
    const unsigned roll = static_cast<unsigned>(rng() % total);
    if (roll < mix.commute_weight) {
      // Now and then the same operator's node over the swapped inputs.
      const std::string& op = commutative[rng() % 3 == 0 ? 0 : rng() % commutative.size()];
      const NodeId a = pick(i), b = pick(i);
      g.nodes.push_back(enode(op, {a, b}));
      if (rng() % 4 == 0 && i + 1 < mix.nodes) g.nodes.push_back(enode(op, {b, a})), ++i;
    } else if (roll < mix.commute_weight + mix.identity_weight) {
      // Identity chains: often over the node just before.
      const NodeId x = rng() % 3 == 0 ? i - 1 : pick(i);
      g.nodes.push_back(enode(identities[rng() % 5 == 0 ? rng() % 4 : 0], {x}));
    } else {
      const std::string& op = others[rng() % others.size()];
      const std::size_t arity = op == "join|inner" ? 3 : 1 + rng() % 2;
      EngineInputs inputs;
      NodeIds ids;
      for (std::size_t k = 0; k < arity; ++k) ids.push_back(pick(i));
      g.nodes.push_back(enode(op, ids));
    }
  }
  for (std::size_t k = 0; k < 5 && !g.nodes.empty(); ++k) g.outputs.push_back(rng() % g.nodes.size());
  return g;
}

std::vector<Mix> mixes() {
  std::vector<Mix> mixes;
  unsigned seed = 1;
  // Small graphs: every rule admitted at once.
  for (std::size_t n : {1, 2, 7, 40, 300}) mixes.push_back({"Small" + std::to_string(n), n, 6, 4, 3, 3, seed++});
  // Around the thresholds: commute rules with 500 to 3,000 nodes (banned in
  // the first or second iteration, or admitted at 2,000 or 4,000), identity
  // rules near 1,000.
  for (std::size_t n : {1200, 2600, 4000, 7000}) {
    mixes.push_back({"Commutes" + std::to_string(n), n, 8, 6, 1, 2, seed++});
    mixes.push_back({"Identities" + std::to_string(n), n, 8, 1, 5, 2, seed++});
    mixes.push_back({"Even" + std::to_string(n), n, 30, 3, 3, 3, seed++});
    mixes.push_back({"Narrow" + std::to_string(n), n, 3, 4, 4, 1, seed++});
  }
  mixes.push_back({"Large", 30000, 12, 3, 2, 4, seed++});
  return mixes;
}

class BuiltinRunReplay : public ::testing::TestWithParam<Mix> {};

// The replay's classes, numbered by their first node as the canonical
// graph numbers its nodes, against the run's; with no limit on the
// e-graph's size, so that the replay is used whatever its bound says.
void expect_replay_finds_the_run(const EngineGraph& g, const CanonicalGraph& run) {
  const auto unbounded = replay_builtin_run(g, SaturationEngine::kDefaultIterLimit, ~std::uint64_t{0});
  ASSERT_TRUE(unbounded.has_value());
  EXPECT_EQ(unbounded->class_count, run.graph.nodes.size());
  EXPECT_EQ(LargeVector<std::uint64_t>(unbounded->classes.begin(), unbounded->classes.end()), run.canonical_index);
}

TEST_P(BuiltinRunReplay, FindsTheClassesOfTheRun) {
  const EngineGraph g = random_graph(GetParam());
  const SaturationEngine engine;
  const CanonicalGraph run = engine.canonicalize_with_egraph(g);
  expect_replay_finds_the_run(g, run);
  // The engine's own answer, replayed or run as the bound decides.
  const CanonicalGraph replayed = engine.canonicalize(g);
  ASSERT_EQ(replayed.canonical_index, run.canonical_index);
  ASSERT_EQ(replayed.graph.outputs, run.graph.outputs);
  ASSERT_EQ(replayed.graph.nodes.size(), run.graph.nodes.size());
  for (std::size_t i = 0; i < run.graph.nodes.size(); ++i) {
    EXPECT_EQ(replayed.graph.nodes[i].op, run.graph.nodes[i].op) << i;
    EXPECT_EQ(replayed.graph.nodes[i].inputs.to_vector(), run.graph.nodes[i].inputs.to_vector()) << i;
    EXPECT_EQ(replayed.graph.nodes[i].barrier, run.graph.nodes[i].barrier) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, BuiltinRunReplay, ::testing::ValuesIn(mixes()),
                         [](const auto& info) { return info.param.name; });

// Many more graphs, of random sizes and mixes: a few large enough for rules
// to come back after two or three bans.
TEST(BuiltinRunReplaySweep, RandomGraphsOfEveryMix) {
  std::mt19937 rng(99);
  for (unsigned seed = 1; seed <= 160; ++seed) {
    const std::size_t nodes = 1 + rng() % (seed % 20 == 0 ? 60000 : 5000);
    const auto roll = [&](unsigned below) { return static_cast<unsigned>(rng() % below); };
    const Mix mix{"sweep", nodes, 2 + roll(40), 1 + roll(8), roll(8), 1 + roll(6), seed};
    const EngineGraph g = random_graph(mix);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(nodes) + " nodes");
    expect_replay_finds_the_run(g, SaturationEngine().canonicalize_with_egraph(g));
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

// 1,001 distinct add nodes exceed the first threshold: commute-add is
// banned in the first iteration, while 1,000 are admitted. A ban is not the
// end: with nothing else to do, the run moves the ban forward and admits
// the rule at twice the threshold in the next iteration.
TEST(BuiltinRunReplayThresholds, ARuleOneMatchOverItsThresholdWaitsForTheNextIteration) {
  for (const std::size_t pairs : {std::size_t{500}, std::size_t{501}}) {
    EngineGraph g;
    g.nodes.push_back(enode("src|a", {}));
    for (std::size_t k = 0; k < pairs; ++k) g.nodes.push_back(enode("src|s" + std::to_string(k), {}));
    // add(s_k, a) and add(a, s_k): two distinct nodes per pair.
    for (std::size_t k = 1; k <= pairs; ++k) {
      g.nodes.push_back(enode("op|add", {k, 0}));
      g.nodes.push_back(enode("op|add", {0, k}));
    }
    const std::size_t first = pairs + 1;
    const std::uint64_t limit = SaturationEngine::node_limit(g.nodes.size());
    const auto one_iteration = replay_builtin_run(g, 1, limit);
    ASSERT_TRUE(one_iteration.has_value());
    EXPECT_EQ(one_iteration->classes[first] == one_iteration->classes[first + 1], pairs == 500) << pairs;
    const auto twelve = replay_builtin_run(g, SaturationEngine::kDefaultIterLimit, limit);
    ASSERT_TRUE(twelve.has_value());
    EXPECT_EQ(twelve->classes[first], twelve->classes[first + 1]) << pairs;
    expect_replay_finds_the_run(g, SaturationEngine().canonicalize_with_egraph(g));
  }
}

// The classes of the run itself under another iteration limit, numbered by
// their first node: the nodes added in order, then the built-in rules
// under a runner with the engine's other limits.
std::vector<std::uint32_t> run_classes(const EngineGraph& g, std::uint64_t iter_limit) {
  egraph::EGraph egraph;
  std::vector<egraph::Id> ids;
  for (const EngineNode& node : g.nodes) {
    std::vector<egraph::Id> children;
    for (const std::uint32_t input : node.inputs) children.push_back(ids[input]);
    ids.push_back(egraph.add(egraph::SymbolLang(node.op, children)));
  }
  egraph::Runner runner;
  runner.set_egraph(std::move(egraph));
  runner.set_iter_limit(iter_limit).set_node_limit(SaturationEngine::node_limit(g.nodes.size()));
  runner.set_time_limit(SaturationEngine::kTimeLimit);
  runner.run(*shared_default_rules());
  std::map<egraph::Id, std::uint32_t> number;
  std::vector<std::uint32_t> classes;
  for (const egraph::Id id : ids) {
    const auto [it, fresh] = number.emplace(runner.egraph().find(id), static_cast<std::uint32_t>(number.size()));
    classes.push_back(it->second);
  }
  return classes;
}

// add(s_k, a) and add(i(s_k), a) for 1,100 sources, where i is an identity:
// 2,200 add nodes, banned at first; once the identities have merged each
// pair, 1,100, admitted at the next threshold (2,000), which takes the
// replay a pass over the e-graph of that iteration, since every count it
// knows beforehand lies above the threshold (2,200 nodes, 2,200 e-nodes
// with both orders) or below it (1,100). add(a, s_0) shows the admission.
EngineGraph admitted_once_identities_merged() {
  EngineGraph g;
  g.nodes.push_back(enode("src|a", {}));
  for (std::size_t k = 0; k < 1100; ++k) g.nodes.push_back(enode("src|s" + std::to_string(k), {}));
  for (std::size_t k = 1; k <= 1100; ++k) g.nodes.push_back(enode(k % 2 == 0 ? kAddZeroRight : kMulOneLeft, {k}));
  for (std::size_t k = 1; k <= 1100; ++k) {
    g.nodes.push_back(enode("op|add", {k, 0}));
    g.nodes.push_back(enode("op|add", {1100 + k, 0}));
  }
  g.nodes.push_back(enode("op|add", {0, 1}));
  return g;
}

// mul(s_k, a) for 1,200 sources and mul(a, s_1): banned in the first
// iteration. add(s_0, s_0) is applied in it for the first time and changes
// nothing (its inputs are one class), so the run stops to ask the
// scheduler, which moves the ban forward: mul is admitted in the second
// iteration, not the third.
EngineGraph admitted_after_a_change_of_nothing() {
  EngineGraph g;
  g.nodes.push_back(enode("src|a", {}));
  for (std::size_t k = 0; k < 1200; ++k) g.nodes.push_back(enode("src|s" + std::to_string(k), {}));
  g.nodes.push_back(enode("op|add", {1, 1}));
  for (std::size_t k = 1; k <= 1200; ++k) g.nodes.push_back(enode("op|mul", {k, 0}));
  g.nodes.push_back(enode("op|mul", {0, 2}));
  return g;
}

// Every iteration limit, on graphs whose rules are banned and come back:
// the replay stops where the run stops.
TEST(BuiltinRunReplayIterations, TheReplayStopsWhereTheRunStops) {
  std::vector<std::pair<std::string, EngineGraph>> graphs;
  graphs.emplace_back("AdmittedOnceIdentitiesMerged", admitted_once_identities_merged());
  graphs.emplace_back("AdmittedAfterAChangeOfNothing", admitted_after_a_change_of_nothing());
  for (const Mix& mix : mixes()) {
    if (mix.nodes >= 2600 && mix.nodes <= 7000) graphs.emplace_back(mix.name, random_graph(mix));
  }
  for (const auto& [name, g] : graphs) {
    for (const std::uint64_t limit : {0, 1, 2, 3, 4, 6, 12}) {
      const auto replayed = replay_builtin_run(g, limit, ~std::uint64_t{0});
      ASSERT_TRUE(replayed.has_value());
      EXPECT_EQ(std::vector<std::uint32_t>(replayed->classes.begin(), replayed->classes.end()), run_classes(g, limit))
          << name << ", iteration limit " << limit;
    }
  }
  // The pair add(s_0, a), add(a, s_0) merges in the third iteration.
  const EngineGraph g = admitted_once_identities_merged();
  const std::size_t pair = 1 + 1100 + 1100, swapped = g.nodes.size() - 1;
  EXPECT_NE(replay_builtin_run(g, 2, ~std::uint64_t{0})->classes[swapped],
            replay_builtin_run(g, 2, ~std::uint64_t{0})->classes[pair]);
  EXPECT_EQ(replay_builtin_run(g, 3, ~std::uint64_t{0})->classes[swapped],
            replay_builtin_run(g, 3, ~std::uint64_t{0})->classes[pair]);
  // mul(s_1, a) and mul(a, s_1) merge in the second iteration.
  const EngineGraph h = admitted_after_a_change_of_nothing();
  const auto two = replay_builtin_run(h, 2, ~std::uint64_t{0});
  EXPECT_EQ(two->classes[h.nodes.size() - 1], two->classes[1 + 1200 + 1 + 1]);
}

// A class that absorbs a long chain of identities, each link used by
// several distinct ops, could as far as the bounds can tell grow the
// e-graph past its node limit: the replay then gives way, and the engine's
// answer is the run's.
TEST(BuiltinRunReplayThresholds, GivesWayWhenTheBoundExceedsTheNodeLimit) {
  EngineGraph g;
  g.nodes.push_back(enode("src|x", {}));
  for (std::size_t k = 0; k < 1000; ++k) g.nodes.push_back(enode(kAddZeroRight, {k}));
  for (std::size_t k = 0; k <= 1000; ++k) {
    for (const char* op : {"op|f0", "op|f1", "op|f2"}) g.nodes.push_back(enode(op, {k}));
  }
  g.outputs = {g.nodes.size() - 1};
  EXPECT_FALSE(replay_builtin_run(g, SaturationEngine::kDefaultIterLimit, SaturationEngine::node_limit(g.nodes.size()))
                   .has_value());
  const CanonicalGraph answer = SaturationEngine().canonicalize(g);
  const CanonicalGraph run = SaturationEngine().canonicalize_with_egraph(g);
  EXPECT_EQ(answer.canonical_index, run.canonical_index);
  EXPECT_EQ(answer.graph.nodes.size(), 4u);  // x, f0(x), f1(x), f2(x)
  expect_replay_finds_the_run(g, run);
}

// The iteration limit is the run's: with none, nothing is applied, and the
// classes are the hash-consed ones.
TEST(BuiltinRunReplayThresholds, NoIterationAppliesNoRule) {
  EngineGraph g;
  g.nodes.push_back(enode("src|x", {}));
  g.nodes.push_back(enode(kMulOneLeft, {0}));
  g.nodes.push_back(enode(kMulOneLeft, {0}));
  const auto replayed = replay_builtin_run(g, 0, SaturationEngine::node_limit(3));
  ASSERT_TRUE(replayed.has_value());
  EXPECT_EQ(replayed->class_count, 2u);
  EXPECT_NE(replayed->classes[0], replayed->classes[1]);
  EXPECT_EQ(replayed->classes[1], replayed->classes[2]);
}

}  // namespace
}  // namespace quorvel
