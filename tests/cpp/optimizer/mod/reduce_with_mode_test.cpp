// The whole reduction pipeline: worked graphs with their exact reduced
// nodes, outputs, node maps and counters; nodes whose tokens collide; the
// invariants on generated graphs; determinism; and a very deep chain.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/symbol_table.hpp"
#include "optimizer/mod/engine_key.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

using Nodes = std::vector<NodeKey>;

Reduced reduce(const std::vector<NodeKey>& nodes, const NodeIds& outputs, bool maximal = false) {
  return reduce_with_mode(nodes, outputs, SaturationEngine(), maximal);
}

class ReduceWithMode : public ::testing::TestWithParam<bool> {
 protected:
  bool maximal() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Rules, ReduceWithMode, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Maximal" : "SingleUse";
                         });

TEST_P(ReduceWithMode, NoOutputsKeepsNothing) {
  const std::vector<NodeKey> nodes = {src("x"), op("a", {0}), op("b", {1})};
  const Reduced r = reduce(nodes, {}, maximal());
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.node_map, (NodeMap{dropped, dropped, dropped})) << describe(r.node_map);
  EXPECT_EQ(r.counters, counters(3, 0, 0, 0, 0, 0));
}

TEST_P(ReduceWithMode, EngineIsCalledOnceEvenForAnEmptyGraph) {
  const SaturationEngine engine;
  for (const std::vector<NodeKey>& nodes : {std::vector<NodeKey>{}, std::vector<NodeKey>{src("x")}}) {
    CountingEngine counting(engine);
    const Reduced r = reduce_with_mode(nodes, {}, counting, maximal());
    EXPECT_EQ(counting.calls, 1);
    EXPECT_EQ(r.counters, counters(nodes.size(), 0, 0, 0, 0, 0));
    EXPECT_EQ(r.node_map.size(), nodes.size());
  }
}

TEST_P(ReduceWithMode, ChainFusesIntoOneStageAndUnusedSourceIsDropped) {
  const std::vector<NodeKey> nodes = {src("x"), op("a", {0}), op("b", {1}), src("y")};
  const Reduced r = reduce(nodes, {2}, maximal());
  const NodeKey stage = NodeKey::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})});
  EXPECT_EQ(r.nodes, (Nodes{src("x"), stage})) << describe(r.nodes);
  EXPECT_EQ(r.outputs, (NodeIds{1}));
  EXPECT_EQ(r.node_map, (NodeMap{at(0), at(1, 0), at(1, 1), dropped})) << describe(r.node_map);
  EXPECT_EQ(r.counters, counters(4, 3, 3, 1, 2, 1));
}

TEST_P(ReduceWithMode, ItsGraphsTextsStayOutOfTheProcessTableAndItsStagesOwnTheirTokens) {
  const std::vector<NodeKey> nodes = {src("x-process-table-test"), op("a-process-table-test", {0}),
                                      op("b-process-table-test", {1})};
  Reduced r = reduce(nodes, {2}, maximal());
  for (const NodeKey& node : nodes) {
    const std::string key = engine_key(node);
    EXPECT_EQ(egraph::SymbolTable::global().find(key, egraph::SymbolTable::hash(key)), 0u) << key;
  }
  // The stage's member tokens outlive the reduction's symbols.
  const NodeKey stage = NodeKey::stage(
      {0}, {member("op|a-process-table-test", {in(0)}), member("op|b-process-table-test", {mem(0)})});
  EXPECT_EQ(r.nodes, (Nodes{src("x-process-table-test"), stage})) << describe(r.nodes);
}

TEST_P(ReduceWithMode, RepeatedOutputGetsTheSameIdTwice) {
  const std::vector<NodeKey> nodes = {src("x"), op("a", {0}), op("b", {1})};
  const Reduced r = reduce(nodes, {2, 0, 2}, maximal());
  EXPECT_EQ(r.outputs, (NodeIds{1, 0, 1}));
  EXPECT_EQ(r.counters, counters(3, 3, 3, 1, 2, 1));
}

TEST_P(ReduceWithMode, UnreachableNodeOnlyAddsToTheInputCount) {
  const std::vector<NodeKey> without = {src("x"), op("a", {0}), src("z"), op("b", {1})};
  std::vector<NodeKey> with = without;
  with.push_back(op("c", {2}));  // nothing reads it
  const Reduced a = reduce(without, {3}, maximal());
  const Reduced b = reduce(with, {3}, maximal());
  EXPECT_EQ(b.node_map.back(), dropped);
  EXPECT_EQ(b.node_map[2], dropped);
  EXPECT_EQ(b.counters.input_nodes, a.counters.input_nodes + 1);
  ReductionCounters adjusted = b.counters;
  adjusted.input_nodes -= 1;
  EXPECT_EQ(adjusted, a.counters);
  EXPECT_EQ(b.nodes, a.nodes) << describe(b.nodes);
}

TEST_P(ReduceWithMode, IdentityOpSharesItsInputsLanding) {
  const std::vector<NodeKey> nodes = {src("x"), add_zero(0), op("f", {1})};
  const Reduced r = reduce(nodes, {2}, maximal());
  EXPECT_EQ(r.nodes, (Nodes{src("x"), NodeKey::stage({0}, {member("op|f", {in(0)})})})) << describe(r.nodes);
  EXPECT_EQ(r.node_map, (NodeMap{at(0), at(0), at(1, 0)})) << describe(r.node_map);
  EXPECT_EQ(r.counters, counters(3, 3, 2, 1, 2, 1));

  // An eliminated output lands on its input.
  const Reduced out = reduce({src("x"), mul_one(0, "l")}, {1}, maximal());
  EXPECT_EQ(out.nodes, (Nodes{src("x")})) << describe(out.nodes);
  EXPECT_EQ(out.outputs, (NodeIds{0}));
  EXPECT_EQ(out.node_map, (NodeMap{at(0), at(0)})) << describe(out.node_map);
  EXPECT_EQ(out.counters, counters(2, 2, 1, 0, 1, 1));

  // Inside a chain the stage simply loses the member.
  const Reduced mid = reduce({src("x"), op("f", {0}), mul_one(1), op("g", {2})}, {3}, maximal());
  const NodeKey stage = NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0)})});
  EXPECT_EQ(mid.nodes, (Nodes{src("x"), stage})) << describe(mid.nodes);
  EXPECT_EQ(mid.node_map, (NodeMap{at(0), at(1, 0), at(1, 0), at(1, 1)})) << describe(mid.node_map);
  EXPECT_EQ(mid.counters, counters(4, 4, 3, 1, 2, 1));
}

TEST_P(ReduceWithMode, NodesEqualAfterCanonicalizationShareOneLanding) {
  const std::vector<NodeKey> nodes = {src("x"),         src("y"),         op("add", {0, 1}),       op("add", {1, 0}),
                                      op("f", {2}),     op("f", {3}),     NodeKey::join({}, {4, 5})};
  const Reduced r = reduce(nodes, {6}, maximal());
  EXPECT_EQ(r.nodes, (std::vector<NodeKey>{src("x"), src("y"),
                                           NodeKey::stage({0, 1}, {member("op|add", {in(0), in(1)}),
                                                                   member("op|f", {mem(0)})}),
                                           NodeKey::join({}, {2, 2})})) << describe(r.nodes);
  EXPECT_EQ(r.outputs, (NodeIds{3}));
  EXPECT_EQ(r.node_map, (NodeMap{at(0), at(1), at(2, 0), at(2, 0), at(2, 1), at(2, 1), at(3)})) << describe(r.node_map);
  EXPECT_EQ(r.counters, counters(7, 7, 5, 1, 4, 3));
}

TEST_P(ReduceWithMode, CommonSubexpressionsMergeWhenTheEngineMergesNothing) {
  const std::vector<NodeKey> nodes = {src("x"), op("f", {0}), op("f", {0}), src("x")};
  const Reduced r = reduce_with_mode(nodes, {1, 2, 3}, IdentityEngine(), maximal());
  EXPECT_EQ(r.nodes, (Nodes{src("x"), NodeKey::stage({0}, {member("op|f", {in(0)})})})) << describe(r.nodes);
  EXPECT_EQ(r.outputs, (NodeIds{1, 1, 0}));
  EXPECT_EQ(r.node_map, (NodeMap{at(0), at(1, 0), at(1, 0), at(0)})) << describe(r.node_map);
  EXPECT_EQ(r.counters, counters(4, 4, 2, 1, 2, 1));
}

TEST_P(ReduceWithMode, NonOpNodesAreRebuiltAsThemselves) {
  const PayloadDescriptor d{"onnx", "h1", "ort", "1.2", "{}", "prep"};
  const ParamMap k1({{"k", ParamValue::integer(1)}});
  const std::vector<StageOp> members = {member("op|g", {in(0)}), member("op|h", {mem(0)})};
  const std::vector<NodeKey> nodes = {
      src("x"),                                  // 0
      NodeKey::source("y", k1),                  // 1
      NodeKey::external(d, k1, {0}),             // 2
      op("f", {2}),                              // 3
      NodeKey::reduction("sum", k1, {3}),        // 4
      NodeKey::join(k1, {4, 1}),                 // 5
      NodeKey::stage({5}, members),              // 6
      NodeKey::exchange(k1, {6}),                // 7
      op("k", {7, 7}),                           // 8
  };
  const Reduced r = reduce(nodes, {8}, maximal());
  const Nodes expected = {nodes[0], nodes[1], nodes[2], NodeKey::stage({2}, {member("op|f", {in(0)})}),
                          nodes[4], nodes[5], nodes[6], nodes[7],
                          NodeKey::stage({7}, {member("op|k", {in(0), in(0)})})};
  EXPECT_EQ(r.nodes, expected) << describe(r.nodes);
  EXPECT_EQ(r.outputs, (NodeIds{8}));
  EXPECT_EQ(r.node_map, (NodeMap{at(0), at(1), at(2), at(3, 0), at(4), at(5), at(6), at(7), at(8, 0)}))
      << describe(r.node_map);
  // The stage that was given is a boundary node, not a stage of this run.
  EXPECT_EQ(r.counters, counters(9, 9, 9, 2, 9, 7));
}

TEST_P(ReduceWithMode, EqualNonOpNodesWithOtherInputsStayApart) {
  const std::vector<NodeKey> nodes = {src("x"), src("y"), NodeKey::reduction("sum", {}, {0}),
                                      NodeKey::reduction("sum", {}, {1}), NodeKey::join({}, {2, 3})};
  const Reduced r = reduce(nodes, {4}, maximal());
  EXPECT_EQ(r.nodes, nodes) << describe(r.nodes);
  EXPECT_EQ(r.counters, counters(5, 5, 5, 0, 5, 5));
}

// Stages with equal member counts and externals whose tokens are equal: the
// pipeline keeps each apart and rebuilds each from its own content.
std::vector<NodeKey> colliding_nodes() {
  auto desc = [](std::string kind, std::string hash, std::optional<std::string> ref, std::string io = "io") {
    return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", std::move(io), std::move(ref)};
  };
  const ParamMap k1({{"k", ParamValue::integer(1)}});
  return {
      src("x"),
      NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0)})}),
      NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|h", {mem(0)})}),
      NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|g", {in(0)})}),
      NodeKey::external(desc("k", "h", "-"), {}, {0}),
      NodeKey::external(desc("k", "h", std::nullopt), {}, {0}),
      NodeKey::external(desc("a|b", "c", std::nullopt), {}, {0}),
      NodeKey::external(desc("a", "b|c", std::nullopt), {}, {0}),
      NodeKey::external(desc("k", "h", std::nullopt, "s|r"), {}, {0}),
      NodeKey::external(desc("k", "h", "r|-", "s"), {}, {0}),
      NodeKey::external(desc("k", "h", std::nullopt), k1, {0}),
      NodeKey::external(desc("k", "h", "-|k=i1"), {}, {0}),
  };
}

TEST_P(ReduceWithMode, CollidingTokensAreNotMerged) {
  const std::vector<NodeKey> nodes = colliding_nodes();
  // The premise: the tokens do collide in pairs.
  EXPECT_EQ(nodes[1].token(), nodes[2].token());
  EXPECT_EQ(nodes[2].token(), nodes[3].token());
  for (std::size_t i = 4; i < nodes.size(); i += 2) EXPECT_EQ(nodes[i].token(), nodes[i + 1].token()) << i;

  NodeIds outputs;
  for (NodeId i = 1; i < nodes.size(); ++i) outputs.push_back(i);
  const Reduced r = reduce(nodes, outputs, maximal());
  EXPECT_EQ(r.nodes, nodes) << describe(r.nodes);
  EXPECT_EQ(r.outputs, outputs);
  expect_reduced_invariants(nodes, outputs, r);

  // Nor are the ops that read them: their inputs stay different.
  std::vector<NodeKey> readers = nodes;
  NodeIds reader_outputs;
  for (NodeId i = 1; i < nodes.size(); ++i) {
    reader_outputs.push_back(readers.size());
    readers.push_back(op("f", {i}));
  }
  const Reduced rr = reduce(readers, reader_outputs, maximal());
  EXPECT_EQ(rr.counters.canonical_nodes, readers.size());
  EXPECT_EQ(rr.counters.reduced_nodes, readers.size());
  for (NodeId i = 1; i < nodes.size(); ++i) {
    ASSERT_TRUE(rr.node_map[i].has_value());
    EXPECT_EQ(rr.nodes[rr.node_map[i]->id], nodes[i]) << i;
  }
  expect_reduced_invariants(readers, reader_outputs, rr);
}

TEST_P(ReduceWithMode, EqualStagesAndExternalsDoMerge) {
  const std::vector<NodeKey> base = colliding_nodes();
  std::vector<NodeKey> nodes = base;
  for (NodeId i = 1; i < base.size(); ++i) nodes.push_back(base[i]);  // a second copy of each
  NodeIds outputs;
  for (NodeId i = 1; i < nodes.size(); ++i) outputs.push_back(i);
  const Reduced r = reduce(nodes, outputs, maximal());
  EXPECT_EQ(r.nodes, base) << describe(r.nodes);
  for (NodeId i = 1; i < base.size(); ++i) {
    EXPECT_EQ(r.node_map[i], at(i));
    EXPECT_EQ(r.node_map[i + base.size() - 1], at(i));
  }
  EXPECT_EQ(r.counters.canonical_nodes, base.size());
}

TEST_P(ReduceWithMode, SameInputGivesEqualRecords) {
  const SaturationEngine engine;
  for (std::uint64_t seed = 100; seed < 110; ++seed) {
    const RandomGraph g = random_graph(seed, 120);
    ReductionTimings timings;
    const Reduced first = reduce_with_mode(g.nodes, g.outputs, engine, maximal(), &timings);
    const Reduced second = reduce_with_mode(g.nodes, g.outputs, SaturationEngine(), maximal());
    SCOPED_TRACE(seed);
    expect_same_reduced(first, second);
    for (double t : {timings.dead_code, timings.engine_graph, timings.engine, timings.cse, timings.fusion}) {
      EXPECT_GE(t, 0.0);
    }
  }
}

TEST_P(ReduceWithMode, RandomGraphsKeepTheInvariants) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    const RandomGraph g = random_graph(seed, 20 + (seed * 37) % 260);
    SCOPED_TRACE(numbered("seed ", seed));
    const Reduced r = reduce(g.nodes, g.outputs, maximal());
    expect_reduced_invariants(g.nodes, g.outputs, r);
    // Fusion alone, without the engine's merges, must keep them too.
    const Reduced plain = reduce_with_mode(g.nodes, g.outputs, IdentityEngine(), maximal());
    expect_reduced_invariants(g.nodes, g.outputs, plain);
    EXPECT_GE(plain.counters.canonical_nodes, r.counters.canonical_nodes);
  }
}

TEST(ReduceWithModeRules, MaximalFusionNeverMakesMoreStages) {
  for (std::uint64_t seed = 200; seed < 220; ++seed) {
    const RandomGraph g = random_graph(seed, 150);
    const Reduced single = reduce(g.nodes, g.outputs, false);
    const Reduced maximal = reduce(g.nodes, g.outputs, true);
    EXPECT_LE(maximal.counters.stages, single.counters.stages) << seed;
    EXPECT_EQ(maximal.counters.boundary_nodes, single.counters.boundary_nodes) << seed;
    EXPECT_EQ(maximal.counters.canonical_nodes, single.counters.canonical_nodes) << seed;
  }
}

egraph::Rewrite parsed_rule(std::string_view name, std::string_view searcher, std::string_view applier) {
  auto s = egraph::Pattern::parse(searcher);
  auto a = egraph::Pattern::parse(applier);
  EXPECT_TRUE(s.ok() && a.ok()) << name;
  auto r = egraph::Rewrite::make(name, std::move(s).value(), std::move(a).value());
  EXPECT_TRUE(r.ok()) << name;
  return std::move(r).value();
}

// Commutativity and associativity of add explode on long sums, so the run
// ends on the engine's node limit (4n + 1024) long before saturation or the
// iteration limit; where it stops is still the same every time.
TEST_P(ReduceWithMode, RunCutShortByTheNodeLimitIsDeterministic) {
  const SaturationEngine engine({parsed_rule("comm", "(op|add ?a ?b)", "(op|add ?b ?a)"),
                                 parsed_rule("assoc", "(op|add ?a (op|add ?b ?c))", "(op|add (op|add ?a ?b) ?c)")});
  constexpr NodeId kLeaves = 14;
  std::vector<NodeKey> nodes;
  for (NodeId i = 0; i < kLeaves; ++i) nodes.push_back(src(numbered("s", i)));
  NodeIds outputs;
  // Right-nested sums of the leaves in three different orders.
  for (NodeId stride : {1, 3, 5}) {
    NodeId acc = (kLeaves - 1) * stride % kLeaves;
    for (NodeId k = kLeaves - 1; k-- > 0;) {
      nodes.push_back(op("add", {k * stride % kLeaves, acc}));
      acc = nodes.size() - 1;
    }
    outputs.push_back(acc);
  }
  const Reduced first = reduce_with_mode(nodes, outputs, engine, maximal());
  const Reduced second = reduce_with_mode(nodes, outputs, engine, maximal());
  expect_same_reduced(first, second);
  expect_reduced_invariants(nodes, outputs, first, /*semantic=*/false);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A chain deeper than any call stack: every walk must be a loop. Under the
// sanitizers a shorter chain still needs far more stack than there is.
TEST_P(ReduceWithMode, MillionNodeChainBecomesOneStage) {
  const std::size_t length = kSanitized ? 200'000 : 1'000'000;
  std::vector<NodeKey> nodes;
  nodes.reserve(length);
  nodes.push_back(src("x"));
  for (NodeId i = 1; i < length; ++i) nodes.push_back(op("f", {i - 1}));
  const Reduced r = reduce(nodes, {length - 1}, maximal());
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[0], src("x"));
  ASSERT_EQ(r.nodes[1].kind(), NodeKind::Stage);
  EXPECT_EQ(r.nodes[1].inputs(), (NodeIds{0}));
  const std::vector<StageOp>& members = r.nodes[1].members();
  ASSERT_EQ(members.size(), length - 1);
  EXPECT_EQ(members[0], member("op|f", {in(0)}));
  for (std::size_t j = 1; j < members.size(); ++j) {
    ASSERT_EQ(members[j], member("op|f", {mem(j - 1)})) << j;
  }
  EXPECT_EQ(r.outputs, (NodeIds{1}));
  ASSERT_EQ(r.node_map.size(), length);
  EXPECT_EQ(r.node_map[0], at(0));
  for (std::size_t i = 1; i < length; ++i) ASSERT_EQ(r.node_map[i], at(1, i - 1)) << i;
  EXPECT_EQ(r.counters, counters(length, length, length, 1, 2, 1));
}

}  // namespace
}  // namespace quorvel
