// The rewrite engine: which nodes canonicalize merges, how each class is
// written (its earliest member, in that member's input order), the barrier
// flags it keeps and the limits of its runs.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/runner.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

using Nodes = std::vector<std::pair<std::string, NodeIds>>;

EngineGraph graph_of(const Nodes& nodes, NodeIds outputs) {
  EngineGraph g;
  for (const auto& [text, inputs] : nodes) g.nodes.push_back(enode(text, inputs));
  g.outputs = std::move(outputs);
  return g;
}

Nodes nodes_of(const EngineGraph& g) {
  Nodes nodes;
  for (const EngineNode& n : g.nodes) nodes.emplace_back(n.op.str(), n.inputs.to_vector());
  return nodes;
}

struct CanonCase {
  std::string name;
  Nodes nodes;
  NodeIds outputs;
  Nodes expected_nodes;
  NodeIds expected_outputs;
  LargeVector<std::uint64_t> expected_index;
};

std::vector<CanonCase> canon_cases() {
  const std::string a = "src|a", b = "src|b", c = "src|c", x = "src|x", y = "src|y";
  std::vector<CanonCase> cases = {
      {"Empty", {}, {}, {}, {}, {}},
      {"CommutedAddMerges",
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}},
       {2, 3},
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}},
       {2, 2},
       {0, 1, 2, 2}},
      {"IdentityFollowedByCongruence",
       {{x, {}}, {y, {}}, {"op|maximum", {0, 1}}, {std::string(kAddZeroRight), {0}}, {"op|maximum", {3, 1}}},
       {2, 4},
       {{x, {}}, {y, {}}, {"op|maximum", {0, 1}}},
       {2, 2},
       {0, 1, 2, 0, 2}},
      // The class is written as its earliest member, maximum(add0(x), y),
      // whose first input now stands for x.
      {"CongruenceKeepsTheEarlierNode",
       {{x, {}}, {y, {}}, {std::string(kAddZeroRight), {0}}, {"op|maximum", {2, 1}}, {"op|maximum", {0, 1}}},
       {4, 3},
       {{x, {}}, {y, {}}, {"op|maximum", {0, 1}}},
       {2, 2},
       {0, 1, 0, 2, 2}},
      {"IdentityUnderCommutation",
       {{a, {}}, {b, {}}, {std::string(kMulOneRight), {1}}, {"op|mul", {0, 2}}, {"op|mul", {1, 0}}},
       {4},
       {{a, {}}, {b, {}}, {"op|mul", {0, 1}}},
       {2},
       {0, 1, 1, 2, 2}},
      {"StackedIdentitiesAllFallToTheirInput",
       {{x, {}},
        {std::string(kAddZeroRight), {0}},
        {std::string(kMulOneLeft), {1}},
        {std::string(kAddZeroLeft), {2}},
        {std::string(kMulOneRight), {3}}},
       {4, 2},
       {{x, {}}},
       {0, 0},
       {0, 0, 0, 0, 0}},
      {"IntZeroIsNotEliminated",
       {{a, {}}, {"op|add|scalar=i0;side=sr", {0}}},
       {1},
       {{a, {}}, {"op|add|scalar=i0;side=sr", {0}}},
       {1},
       {0, 1}},
      {"NegativeZeroIsNotEliminated",
       {{a, {}}, {"op|add|scalar=f8000000000000000;side=sr", {0}}},
       {1},
       {{a, {}}, {"op|add|scalar=f8000000000000000;side=sr", {0}}},
       {1},
       {0, 1}},
      {"MultiplyByZeroIsNotEliminated",
       {{a, {}}, {"op|mul|scalar=f0000000000000000;side=sr", {0}}},
       {1},
       {{a, {}}, {"op|mul|scalar=f0000000000000000;side=sr", {0}}},
       {1},
       {0, 1}},
      {"IdentityTokenWithTwoInputsStays",
       {{a, {}}, {b, {}}, {std::string(kAddZeroRight), {0, 1}}},
       {2},
       {{a, {}}, {b, {}}, {std::string(kAddZeroRight), {0, 1}}},
       {2},
       {0, 1, 2}},
      {"AddWithThreeInputsIsNotCommuted",
       {{a, {}}, {b, {}}, {c, {}}, {"op|add", {0, 1, 2}}, {"op|add", {1, 0, 2}}},
       {3, 4},
       {{a, {}}, {b, {}}, {c, {}}, {"op|add", {0, 1, 2}}, {"op|add", {1, 0, 2}}},
       {3, 4},
       {0, 1, 2, 3, 4}},
      {"OtherOperatorsAreNotCommuted",
       {{a, {}}, {b, {}}, {"op|sub", {0, 1}}, {"op|sub", {1, 0}}},
       {2, 3},
       {{a, {}}, {b, {}}, {"op|sub", {0, 1}}, {"op|sub", {1, 0}}},
       {2, 3},
       {0, 1, 2, 3}},
      {"AddWithParametersIsNotCommuted",
       {{a, {}}, {b, {}}, {"op|add|k=i1", {0, 1}}, {"op|add|k=i1", {1, 0}}},
       {2, 3},
       {{a, {}}, {b, {}}, {"op|add|k=i1", {0, 1}}, {"op|add|k=i1", {1, 0}}},
       {2, 3},
       {0, 1, 2, 3}},
      {"EqualTokenAndInputsMergeWithoutRules",
       {{a, {}}, {"op|f", {0}}, {"red|r", {0}}, {"op|f", {0}}, {"red|r", {0}}, {a, {}}},
       {3, 4, 5},
       {{a, {}}, {"op|f", {0}}, {"red|r", {0}}},
       {1, 2, 0},
       {0, 1, 2, 1, 2, 0}},
      {"EqualAfterMergingInputs",
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}, {"op|f", {2}}, {"op|f", {3}}},
       {5},
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}, {"op|f", {2}}},
       {3},
       {0, 1, 2, 2, 3, 3}},
      {"DuplicatedOutputsStayInOrder",
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}},
       {3, 0, 3, 2, 1},
       {{a, {}}, {b, {}}, {"op|add", {0, 1}}},
       {2, 0, 2, 2, 1},
       {0, 1, 2, 2}},
      {"RepresentativeKeepsItsOwnInputOrder",
       {{a, {}}, {b, {}}, {"op|add", {1, 0}}, {"op|add", {0, 1}}},
       {3},
       {{a, {}}, {b, {}}, {"op|add", {1, 0}}},
       {2},
       {0, 1, 2, 2}},
      // Nodes dropped from the middle renumber the later ones.
      {"LaterNodesAreRenumbered",
       {{a, {}}, {std::string(kAddZeroLeft), {0}}, {b, {}}, {"op|g", {1, 2}}, {"op|g", {0, 2}}, {"op|h", {4, 3}}},
       {5},
       {{a, {}}, {b, {}}, {"op|g", {0, 1}}, {"op|h", {2, 2}}},
       {3},
       {0, 0, 1, 2, 2, 3}},
  };
  // Each identity token, with its input either a source or an op.
  for (std::string_view token : {kAddZeroRight, kAddZeroLeft, kMulOneRight, kMulOneLeft}) {
    const std::string t(token);
    cases.push_back({"Identity_" + t, {{a, {}}, {t, {0}}}, {1}, {{a, {}}}, {0}, {0, 0}});
    cases.push_back({"IdentityOnOp_" + t,
                     {{a, {}}, {"op|f", {0}}, {t, {1}}, {"op|g", {2}}},
                     {3},
                     {{a, {}}, {"op|f", {0}}, {"op|g", {1}}},
                     {2},
                     {0, 1, 1, 2}});
  }
  // Each of the eight commutative operators.
  for (const char* name : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    const std::string t = std::string("op|") + name;
    cases.push_back({std::string("Commute_") + name,
                     {{a, {}}, {b, {}}, {t, {0, 1}}, {t, {1, 0}}},
                     {3, 2},
                     {{a, {}}, {b, {}}, {t, {0, 1}}},
                     {2, 2},
                     {0, 1, 2, 2}});
  }
  return cases;
}

class Canonicalize : public ::testing::TestWithParam<CanonCase> {};

TEST_P(Canonicalize, MergesExactlyTheProvablyEqualNodes) {
  const CanonCase& c = GetParam();
  const EngineGraph input = graph_of(c.nodes, c.outputs);
  const CanonicalGraph out = SaturationEngine().canonicalize(input);
  EXPECT_EQ(nodes_of(out.graph), c.expected_nodes);
  EXPECT_EQ(out.graph.outputs, c.expected_outputs);
  EXPECT_EQ(out.canonical_index, c.expected_index);
  for (const EngineNode& n : out.graph.nodes) EXPECT_EQ(n.barrier, barrier_for_key(n.op.text())) << n.op.text();
  // The engine only reads its input.
  EXPECT_EQ(nodes_of(input), c.nodes);
  EXPECT_EQ(input.outputs, c.outputs);
}

std::string case_name(const ::testing::TestParamInfo<CanonCase>& info) {
  std::string name;
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name + numbered("_", info.index);
}

INSTANTIATE_TEST_SUITE_P(Cases, Canonicalize, ::testing::ValuesIn(canon_cases()), case_name);

// The flags come from the kind of each store node, once: the engine writes
// each class with its representative's own flag and never reads the token.
TEST(SaturationEngine, EmittedBarrierIsTheRepresentativesOwn) {
  EngineGraph g = graph_of({{"src|a", {}},
                            {"op|f", {0}},
                            {"op|f", {0}},  // merged into 1
                            {"src|b", {}},
                            {"op|add", {0, 3}},
                            {"op|add", {3, 0}},  // merged into 4
                            {std::string(kAddZeroRight), {1}},  // stands for 1
                            {"red|g", {6}}},
                           {7});
  for (EngineNode& n : g.nodes) n.barrier = !n.barrier;  // every flag the opposite of the token's
  g.nodes[2].barrier = !g.nodes[2].barrier;              // and a merged member that disagrees
  const CanonicalGraph out = SaturationEngine().canonicalize(g);
  EXPECT_EQ(out.canonical_index, (LargeVector<std::uint64_t>{0, 1, 1, 2, 3, 3, 1, 4}));
  std::vector<bool> barriers;
  for (const EngineNode& n : out.graph.nodes) barriers.push_back(n.barrier);
  EXPECT_EQ(barriers, (std::vector<bool>{false, true, false, true, false}));
}

TEST(SaturationEngine, RunsAreConfiguredWithTheirThreeLimits) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1000}, std::size_t{3000000}}) {
    egraph::Runner runner;
    SaturationEngine().configure(runner, n);
    EXPECT_EQ(runner.iter_limit(), 12u);
    EXPECT_EQ(runner.node_limit(), 4 * n + 1024) << n;
    EXPECT_EQ(runner.time_limit(), std::chrono::seconds(5));
  }
  // The runner's own defaults differ from the engine's, so configure is what
  // sets them.
  const egraph::Runner defaults;
  EXPECT_NE(defaults.iter_limit(), 12u);
  EXPECT_NE(defaults.node_limit(), 4u * 1000 + 1024);
}

TEST(SaturationEngine, DefaultsAndCustomRules) {
  const SaturationEngine standard;
  EXPECT_EQ(standard.iter_limit(), 12u);
  ASSERT_EQ(standard.rules().size(), 12u);
  EXPECT_EQ(standard.rules()[0].name().str(), "commute-add");
  EXPECT_EQ(standard.rules()[11].name().str(), "identity-3");

  // Without rules only hash-consing merges.
  const SaturationEngine bare{std::vector<egraph::Rewrite>{}};
  EXPECT_EQ(bare.iter_limit(), 12u);
  EXPECT_TRUE(bare.rules().empty());
  const EngineGraph g = graph_of(
      {{"src|a", {}}, {"src|b", {}}, {"op|add", {0, 1}}, {"op|add", {1, 0}}, {"op|f", {0}}, {"op|f", {0}}}, {3, 5});
  CanonicalGraph out = bare.canonicalize(g);
  EXPECT_EQ(out.canonical_index, (LargeVector<std::uint64_t>{0, 1, 2, 3, 4, 4}));
  EXPECT_EQ(out.graph.outputs, (NodeIds{3, 4}));

  // A rule of the caller's: the class is written as its earliest member.
  auto searcher = egraph::Pattern::parse("(op|f ?x)");
  auto applier = egraph::Pattern::parse("(op|g ?x)");
  ASSERT_TRUE(searcher.ok() && applier.ok());
  auto rule = egraph::Rewrite::make("f-is-g", std::move(searcher).value(), std::move(applier).value());
  ASSERT_TRUE(rule.ok());
  const SaturationEngine custom{std::vector<egraph::Rewrite>{std::move(rule).value()}};
  out = custom.canonicalize(graph_of({{"src|a", {}}, {"op|g", {0}}, {"op|f", {0}}}, {2}));
  EXPECT_EQ(nodes_of(out.graph), (Nodes{{"src|a", {}}, {"op|g", {0}}}));
  EXPECT_EQ(out.graph.outputs, (NodeIds{1}));
  EXPECT_EQ(out.canonical_index, (LargeVector<std::uint64_t>{0, 1, 1}));
}

TEST(SaturationEngine, RandomGraphsGiveEqualAnswersTwice) {
  const SaturationEngine engine;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const RandomGraph rg = random_graph(seed, 150);
    EngineGraph g;
    for (const NodeKey& key : rg.nodes) g.nodes.push_back(enode(engine_key(key), key.inputs()));
    g.outputs = rg.outputs;
    const CanonicalGraph first = engine.canonicalize(g);
    const CanonicalGraph second = engine.canonicalize(g);
    EXPECT_EQ(nodes_of(first.graph), nodes_of(second.graph)) << seed;
    EXPECT_EQ(first.graph.outputs, second.graph.outputs) << seed;
    EXPECT_EQ(first.canonical_index, second.canonical_index) << seed;
    // The answer is well formed: one index per node, inputs earlier, and
    // every canonical node is the first input node of its class.
    ASSERT_EQ(first.canonical_index.size(), g.nodes.size());
    std::vector<bool> seen(first.graph.nodes.size(), false);
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < g.nodes.size(); ++i) {
      const std::uint64_t k = first.canonical_index[i];
      ASSERT_LT(k, first.graph.nodes.size());
      if (seen[k]) continue;
      seen[k] = true;
      EXPECT_EQ(k, next++) << seed << " node " << i;
      EXPECT_EQ(first.graph.nodes[k].op, g.nodes[i].op) << seed << " node " << i;
    }
    EXPECT_EQ(next, first.graph.nodes.size());
    for (std::size_t k = 0; k < first.graph.nodes.size(); ++k) {
      for (NodeId input : first.graph.nodes[k].inputs) EXPECT_LT(input, k);
    }
    // No two canonical nodes are one op over the same inputs: hash-consing
    // the graph again would merge nothing, so the pipeline skips it.
    EXPECT_TRUE(engine.closes_under_congruence());
    std::set<std::pair<std::uint32_t, NodeIds>> distinct;
    for (const EngineNode& node : first.graph.nodes) {
      EXPECT_TRUE(distinct.emplace(node.op.handle(), node.inputs.to_vector()).second) << seed;
    }
  }
}

TEST(SaturationEngineConcurrency, OneEngineServesTwoThreads) {
  const SaturationEngine engine;
  const RandomGraph rg = random_graph(99, 300);
  EngineGraph g;
  for (const NodeKey& key : rg.nodes) g.nodes.push_back(enode(engine_key(key), key.inputs()));
  g.outputs = rg.outputs;
  const CanonicalGraph expected = engine.canonicalize(g);
  std::vector<CanonicalGraph> results(2);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) results[t] = engine.canonicalize(g);
    });
  }
  for (std::thread& th : threads) th.join();
  for (const CanonicalGraph& r : results) {
    EXPECT_EQ(nodes_of(r.graph), nodes_of(expected.graph));
    EXPECT_EQ(r.canonical_index, expected.canonical_index);
  }
}

}  // namespace
}  // namespace quorvel
