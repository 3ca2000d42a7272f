// The incremental reducer: counters across steps of any size, the three
// rules a step applies, failed steps, finalize against the one-shot
// reduction, the reducer behind its lock (poisoning included), and that
// lock under threads that step, finalize and build at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "derivation/derived_stores.hpp"
#include "derivation/locked_reducer.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "../optimizer_test_support.hpp"
#include "store/graph_store.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

using Nodes = std::vector<NodeKey>;

std::uint64_t step_ok(IncrementalReducer& reducer, Nodes delta) {
  auto consumed = reducer.step(std::move(delta));
  EXPECT_TRUE(consumed.ok());
  return consumed.ok() ? consumed.value() : 0;
}

std::uint64_t step_ok(LockedReducer& reducer, const GraphStore& store) {
  auto consumed = reducer.step(store);
  EXPECT_TRUE(consumed.ok());
  return consumed.ok() ? consumed.value() : 0;
}

Reduced finalize_ok(const IncrementalReducer& reducer, const NodeIds& outputs, bool maximal = false) {
  auto reduced = reducer.finalize(outputs, SaturationEngine(), maximal);
  EXPECT_TRUE(reduced.ok());
  return reduced.ok() ? std::move(reduced).value() : Reduced{};
}

// A reducer fed nodes in one step; the nodes are distinct store nodes.
std::unique_ptr<IncrementalReducer> fed(const Nodes& nodes) {
  auto reducer = std::make_unique<IncrementalReducer>();
  EXPECT_EQ(step_ok(*reducer, nodes), nodes.size());
  return reducer;
}

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

// --- counters ---------------------------------------------------------------

TEST(IncrementalReducer, NewReducerIsEmpty) {
  const IncrementalReducer reducer;
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_EQ(reducer.total_work(), 0u);
  EXPECT_EQ(reducer.canonical_count(), 0u);
}

TEST(IncrementalReducer, StepsOfAnySizeConsumeEveryNodeOnce) {
  GraphStore store;
  LockedReducer reducer;
  auto add = [&](int n) {
    for (int k = 0; k < n; ++k) {
      const std::uint64_t count = store.node_count();
      NodeKey key = count == 0 ? src("s") : op("f", {count - 1});
      ASSERT_TRUE(store.intern(std::move(key)).ok());
    }
  };
  add(3);
  EXPECT_EQ(step_ok(reducer, store), 3u);
  EXPECT_EQ(step_ok(reducer, store), 0u);
  add(7);
  EXPECT_EQ(step_ok(reducer, store), 7u);
  EXPECT_EQ(step_ok(reducer, store), 0u);
  EXPECT_EQ(reducer.watermark(), 10u);
  EXPECT_EQ(reducer.total_work(), 10u);
  EXPECT_EQ(reducer.canonical_count(), 10u);

  // A smaller store has nothing past the watermark.
  GraphStore smaller;
  ASSERT_TRUE(smaller.intern(src("t")).ok());
  EXPECT_EQ(step_ok(reducer, smaller), 0u);
  EXPECT_EQ(reducer.watermark(), 10u);
  EXPECT_EQ(reducer.total_work(), 10u);
}

// --- identity elimination ---------------------------------------------------

struct IdentityCase {
  const char* label;
  NodeKey node;  // reads node 0 (when it has inputs)
  bool eliminated;
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.label; }

std::vector<IdentityCase> identity_cases() {
  const auto scalar_side_extra = [](ParamValue scalar, const char* side) {
    return params({{"scalar", std::move(scalar)}, {"side", ParamValue::text(side)}, {"x", ParamValue::integer(1)}});
  };
  return {
      {"AddZeroRight", add_zero(0, "r"), true},
      {"AddZeroLeft", add_zero(0, "l"), true},
      {"MulOneRight", mul_one(0, "r"), true},
      {"MulOneLeft", mul_one(0, "l"), true},
      {"AddTwo", NodeKey::op("add", scalar_side(ParamValue::floating(2.0), "r"), {0}), false},
      {"AddNegativeZero", NodeKey::op("add", scalar_side(ParamValue::floating(-0.0), "r"), {0}), false},
      {"AddIntZero", NodeKey::op("add", scalar_side(ParamValue::integer(0), "r"), {0}), false},
      {"MulOneOtherSide", NodeKey::op("mul", scalar_side(ParamValue::floating(1.0), "both"), {0}), false},
      {"MulOneExtraParam", NodeKey::op("mul", scalar_side_extra(ParamValue::floating(1.0), "r"), {0}), false},
      {"SubZero", NodeKey::op("sub", scalar_side(ParamValue::floating(0.0), "r"), {0}), false},
      {"ReductionWithTheParams", NodeKey::reduction("add", scalar_side(ParamValue::floating(0.0), "r"), {0}), false},
      // An identity token on two inputs stands for neither of them.
      {"AddZeroOnTwoInputs", NodeKey::op("add", scalar_side(ParamValue::floating(0.0), "r"), {0, 0}), false},
      // Nor on none: there is nothing to stand for.
      {"AddZeroOnNoInput", NodeKey::op("add", scalar_side(ParamValue::floating(0.0), "r"), {}), false},
  };
}

class IdentityElimination : public ::testing::TestWithParam<IdentityCase> {};

INSTANTIATE_TEST_SUITE_P(Nodes, IdentityElimination, ::testing::ValuesIn(identity_cases()),
                         [](const ::testing::TestParamInfo<IdentityCase>& info) { return info.param.label; });

TEST_P(IdentityElimination, OnlyOneInputIdentitiesStandForTheirInput) {
  const IdentityCase& c = GetParam();
  const auto reducer = fed({src("x"), c.node});
  EXPECT_EQ(reducer->watermark(), 2u);
  EXPECT_EQ(reducer->total_work(), 2u);
  if (c.eliminated) {
    EXPECT_EQ(reducer->canonical_count(), 1u);
    EXPECT_EQ(reducer->canonical_id(1), 0u);
  } else {
    EXPECT_EQ(reducer->canonical_count(), 2u);
    EXPECT_EQ(reducer->canonical_id(1), 1u);
    EXPECT_EQ(reducer->canonical_node(1), c.node);
  }
}

TEST_P(IdentityElimination, FinalizeAgreesWithTheOneShotReduction) {
  // The node and an op on it, both outputs: whatever a step does with the
  // node, the engine would have done the same.
  const IdentityCase& c = GetParam();
  const Nodes nodes = {src("x"), c.node, op("g", {1})};
  const auto reducer = fed(nodes);
  const Reduced incremental = finalize_ok(*reducer, {2, 1});
  const Reduced one_shot = reduce_with_mode(nodes, {2, 1}, SaturationEngine(), false);
  EXPECT_EQ(incremental.nodes, one_shot.nodes) << describe(incremental.nodes) << "\nvs" << describe(one_shot.nodes);
  EXPECT_EQ(incremental.outputs, one_shot.outputs);
  EXPECT_EQ(incremental.node_map, one_shot.node_map) << describe(incremental.node_map);
}

TEST(IncrementalReducer, ZeroInputIdentityTokenIsAnOrdinaryHashConsedNode) {
  const NodeKey bare = NodeKey::op("add", scalar_side(ParamValue::floating(0.0), "r"), {});
  const auto reducer = fed({bare, bare, op("f", {1})});
  EXPECT_EQ(reducer->canonical_count(), 2u);
  EXPECT_EQ(reducer->canonical_id(0), 0u);
  EXPECT_EQ(reducer->canonical_id(1), 0u);
  EXPECT_EQ(reducer->canonical_node(1), op("f", {0}));
}

TEST(IncrementalReducer, ChainOfIdentitiesCollapsesOntoItsRoot) {
  const auto reducer = fed({src("x"), add_zero(0, "r"), mul_one(1, "l"), add_zero(2, "l"), mul_one(3, "r")});
  EXPECT_EQ(reducer->canonical_count(), 1u);
  for (NodeId s = 0; s < 5; ++s) EXPECT_EQ(reducer->canonical_id(s), 0u) << s;
}

// --- commutativity and hash-consing -----------------------------------------

class CommutativeOperator : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Names, CommutativeOperator,
                         ::testing::Values("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"));

TEST_P(CommutativeOperator, SecondOrientationFindsTheFirst) {
  const char* name = GetParam();
  const auto reducer = fed({src("x"), src("y"), op(name, {0, 1}), op(name, {1, 0})});
  EXPECT_EQ(reducer->canonical_count(), 3u);
  EXPECT_EQ(reducer->canonical_id(3), reducer->canonical_id(2));
  EXPECT_EQ(reducer->canonical_node(2), op(name, {0, 1})) << "the first orientation is kept";
}

struct KeptPair {
  const char* label;
  NodeKey first;
  NodeKey second;
};

void PrintTo(const KeptPair& p, std::ostream* os) { *os << p.label; }

class NotCommutative : public ::testing::TestWithParam<KeptPair> {};

INSTANTIATE_TEST_SUITE_P(
    Pairs, NotCommutative,
    ::testing::Values(KeptPair{"Sub", op("sub", {0, 1}), op("sub", {1, 0})},
                      KeptPair{"AddWithAParam", NodeKey::op("add", params({{"k", ParamValue::integer(1)}}), {0, 1}),
                               NodeKey::op("add", params({{"k", ParamValue::integer(1)}}), {1, 0})},
                      KeptPair{"AddOnThreeInputs", op("add", {0, 1, 0}), op("add", {1, 0, 0})},
                      KeptPair{"ReductionNamedAdd", NodeKey::reduction("add", {}, {0, 1}),
                               NodeKey::reduction("add", {}, {1, 0})},
                      KeptPair{"Join", NodeKey::join({}, {0, 1}), NodeKey::join({}, {1, 0})}),
    [](const ::testing::TestParamInfo<KeptPair>& info) { return info.param.label; });

TEST_P(NotCommutative, BothOrientationsAreKept) {
  const auto reducer = fed({src("x"), src("y"), GetParam().first, GetParam().second});
  EXPECT_EQ(reducer->canonical_count(), 4u);
  EXPECT_EQ(reducer->canonical_id(3), 3u);
}

TEST(IncrementalReducer, OpOnAnEliminatedIdentityIsHashConsedOntoTheSameOpOnItsInput) {
  const auto reducer = fed({src("x"), add_zero(0, "l"), op("f", {1}), op("f", {0})});
  EXPECT_EQ(reducer->canonical_count(), 2u);
  EXPECT_EQ(reducer->canonical_id(3), reducer->canonical_id(2));
  EXPECT_EQ(reducer->canonical_node(1), op("f", {0}));
}

TEST(IncrementalReducer, OpsOnCommutedTwinsAreHashConsed) {
  const auto reducer = fed({src("x"), src("y"), op("max", {0, 1}), op("maximum", {0, 1}), op("maximum", {1, 0}),
                            op("g", {3}), op("g", {4})});
  // max is no commutative name; maximum is.
  EXPECT_EQ(reducer->canonical_count(), 5u);
  EXPECT_EQ(reducer->canonical_id(6), reducer->canonical_id(5));
}

TEST(IncrementalReducer, StageAndExternalNodesAreKeyedByTheirWholeContent) {
  const NodeKey stage_a = NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0)})});
  const NodeKey stage_b = NodeKey::stage({0}, {member("op|f", {in(0)}), member("op|h", {mem(0)})});
  const NodeKey ext_a = NodeKey::external(PayloadDescriptor{"a|b", "c", "fw", "1", "io", std::nullopt}, {}, {0});
  const NodeKey ext_b = NodeKey::external(PayloadDescriptor{"a", "b|c", "fw", "1", "io", std::nullopt}, {}, {0});
  // Same member counts, same token-level text; different content.
  const auto reducer = fed({src("x"), stage_a, stage_b, ext_a, ext_b, add_zero(0), stage_a.with_inputs({5})});
  EXPECT_EQ(reducer->canonical_count(), 5u);
  EXPECT_EQ(reducer->canonical_id(6), 1u);
}

// --- failed steps ----------------------------------------------------------

TEST(IncrementalReducer, InputNotBelowTheNodeIsReportedAndEarlierNodesStayConsumed) {
  IncrementalReducer reducer;
  ASSERT_EQ(step_ok(reducer, {src("x")}), 1u);
  // The second node of this delta has id 2 and reads 2.
  auto failed = reducer.step({op("f", {0}), op("g", {2}), op("h", {0})});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), BadNodeId{2});
  EXPECT_EQ(reducer.watermark(), 2u);
  EXPECT_EQ(reducer.total_work(), 2u) << "the node consumed before the failure counts";
  EXPECT_EQ(reducer.canonical_count(), 2u);
  // Later steps go on from there, the work counter with the watermark.
  EXPECT_EQ(step_ok(reducer, {op("g", {1})}), 1u);
  EXPECT_EQ(reducer.watermark(), 3u);
  EXPECT_EQ(reducer.total_work(), 3u);
}

// --- finalize ---------------------------------------------------------------

TEST(IncrementalReducer, FinalizeMapsEveryConsumedStoreNode) {
  // x, x + 0, f(x + 0), an unused y, and add(f, x) twice in both orders.
  const auto reducer =
      fed({src("x"), add_zero(0), op("f", {1}), src("y"), op("add", {2, 0}), op("add", {0, 2})});
  const Reduced r = finalize_ok(*reducer, {5});
  ASSERT_EQ(r.node_map.size(), 6u);
  EXPECT_EQ(r.counters.input_nodes, reducer->canonical_count());
  EXPECT_EQ(r.counters.input_nodes, 4u);
  EXPECT_EQ(r.counters.reachable_nodes, 3u);
  EXPECT_EQ(r.node_map[1], r.node_map[0]) << "an eliminated identity shares its input's entry";
  EXPECT_EQ(r.node_map[4], r.node_map[5]) << "commuted twins share an entry";
  EXPECT_EQ(r.node_map[3], dropped);
  ASSERT_TRUE(r.node_map[5].has_value());
  EXPECT_EQ(r.outputs, (NodeIds{r.node_map[5]->id}));
}

TEST(IncrementalReducer, FinalizeTwiceGivesEqualRecordsAndChangesNothing) {
  const auto reducer = fed({src("x"), op("f", {0}), mul_one(1), op("add", {2, 0})});
  const Reduced first = finalize_ok(*reducer, {3, 1});
  const Reduced second = finalize_ok(*reducer, {3, 1});
  expect_same_reduced(first, second);
  EXPECT_EQ(reducer->watermark(), 4u);
  EXPECT_EQ(reducer->canonical_count(), 3u);
}

TEST(IncrementalReducer, FinalizeAfterMoreStepsIncludesTheNewNodes) {
  IncrementalReducer reducer;
  ASSERT_EQ(step_ok(reducer, {src("x"), op("f", {0})}), 2u);
  const Reduced before = finalize_ok(reducer, {1});
  ASSERT_EQ(step_ok(reducer, {op("g", {1}), src("y"), op("h", {2, 3})}), 3u);
  const Reduced after = finalize_ok(reducer, {4});
  EXPECT_EQ(before.node_map.size(), 2u);
  EXPECT_EQ(after.node_map.size(), 5u);
  EXPECT_EQ(after.counters.input_nodes, 5u);
  EXPECT_EQ(after.counters.reachable_nodes, 5u);
  for (const auto& entry : after.node_map) EXPECT_TRUE(entry.has_value());
}

TEST(IncrementalReducer, OutputNotYetConsumedIsReportedBeforeAnyWork) {
  const auto reducer = fed({src("x"), op("f", {0})});
  const SaturationEngine engine;
  CountingEngine counting(engine);
  auto r = reducer->finalize({1, 2, 7}, counting, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), BadNodeId{2});
  EXPECT_EQ(counting.calls, 0);
  EXPECT_EQ(reducer->watermark(), 2u);
}

TEST(IncrementalReducer, EmptyReducerFinalizesToAnEmptyRecord) {
  const IncrementalReducer reducer;
  const Reduced r = finalize_ok(reducer, {});
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.node_map.empty());
  EXPECT_EQ(r.counters, counters(0, 0, 0, 0, 0, 0));
}

// --- against the one-shot reduction on generated graphs ---------------------

bool is_identity_node(const NodeKey& key) {
  if (key.kind() != NodeKind::Op || key.inputs().size() != 1) return false;
  const std::string token = key.token();
  return token == kAddZeroRight || token == kAddZeroLeft || token == kMulOneRight || token == kMulOneLeft;
}

bool is_commutative_node(const NodeKey& key) {
  static const std::vector<std::string> names = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
  return key.kind() == NodeKind::Op && key.inputs().size() == 2 && key.params().empty() &&
         std::find(names.begin(), names.end(), std::string(key.name())) != names.end();
}

// A generated graph interned into a store (inputs and outputs renumbered to
// store ids). clean: identity ops become op f, and a commutative op whose
// twin is already stored becomes sub, so that no step merges anything.
struct StoredGraph {
  std::unique_ptr<GraphStore> store = std::make_unique<GraphStore>();
  NodeIds outputs;
};

StoredGraph stored(const RandomGraph& g, bool clean) {
  StoredGraph out;
  Nodes interned;
  NodeIds ids;
  for (const NodeKey& key : g.nodes) {
    NodeIds inputs;
    for (NodeId input : key.inputs()) inputs.push_back(ids.at(input));
    NodeKey node = key.with_inputs(inputs);
    if (clean && is_identity_node(node)) node = op("f", {inputs[0]});
    if (clean && is_commutative_node(node) &&
        std::find(interned.begin(), interned.end(), node.with_inputs({inputs[1], inputs[0]})) != interned.end()) {
      node = op("sub", inputs);
    }
    auto id = out.store->intern(node);
    EXPECT_TRUE(id.ok());
    ids.push_back(id.ok() ? id.value() : 0);
    if (ids.back() == interned.size()) interned.push_back(node);
  }
  for (NodeId o : g.outputs) out.outputs.push_back(ids.at(o));
  return out;
}

// Feeds the store to a reducer in steps of random sizes (from seed).
std::unique_ptr<IncrementalReducer> fed_in_steps(const GraphStore& store, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto reducer = std::make_unique<IncrementalReducer>();
  const std::uint64_t n = store.node_count();
  while (reducer->watermark() < n) {
    const std::uint64_t size = std::min<std::uint64_t>(n - reducer->watermark(), rng() % 6);
    Nodes delta = store.snapshot_from(reducer->watermark());
    delta.erase(delta.begin() + static_cast<std::ptrdiff_t>(size), delta.end());
    EXPECT_EQ(step_ok(*reducer, std::move(delta)), size);
  }
  EXPECT_EQ(reducer->total_work(), n);
  return reducer;
}

class GeneratedGraphs : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Rules, GeneratedGraphs, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Maximal" : "SingleUse";
                         });

TEST_P(GeneratedGraphs, WithoutMergesFinalizeIsTheOneShotReduction) {
  for (std::uint64_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const StoredGraph g = stored(random_graph(seed, 4 + seed % 60), true);
    const auto reducer = fed_in_steps(*g.store, seed);
    ASSERT_EQ(reducer->canonical_count(), g.store->node_count()) << "nothing merges in a clean graph";
    const Reduced incremental = finalize_ok(*reducer, g.outputs, GetParam());
    const Reduced one_shot = reduce_with_mode(g.store->snapshot().nodes, g.outputs, SaturationEngine(), GetParam());
    expect_same_reduced(incremental, one_shot);
  }
}

TEST_P(GeneratedGraphs, FinalizeComputesWhatTheStoreComputesWhateverTheSteps) {
  for (std::uint64_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const StoredGraph g = stored(random_graph(seed, 4 + seed % 60), false);
    const Nodes nodes = g.store->snapshot().nodes;
    const auto in_steps = fed_in_steps(*g.store, seed);
    const auto at_once = fed(nodes);
    const Reduced r = finalize_ok(*in_steps, g.outputs, GetParam());
    expect_same_reduced(r, finalize_ok(*at_once, g.outputs, GetParam()));
    EXPECT_LE(in_steps->canonical_count(), nodes.size());
    EXPECT_EQ(r.counters.input_nodes, in_steps->canonical_count());

    // Every node the outputs read lands on a node that computes its value
    // (up to the engine's equalities); the outputs land where the record
    // says.
    ASSERT_EQ(r.node_map.size(), nodes.size());
    ASSERT_EQ(r.outputs.size(), g.outputs.size());
    ValueNumbers numbers;
    const std::vector<std::uint64_t> before = numbers.of(nodes);
    const std::vector<std::uint64_t> after = numbers.of(r.nodes);
    const std::vector<bool> reached = reachable_from(nodes, g.outputs);
    for (std::size_t x = 0; x < nodes.size(); ++x) {
      if (reached[x]) {
        ASSERT_TRUE(r.node_map[x].has_value()) << "node " << x;
      }
      if (!r.node_map[x]) continue;
      const NodeMapEntry& e = *r.node_map[x];
      const std::uint64_t landed = e.member ? numbers.member_value(r.nodes, after, e.id, *e.member) : after.at(e.id);
      EXPECT_EQ(landed, before[x]) << "node " << x;
    }
    for (std::size_t i = 0; i < g.outputs.size(); ++i) {
      EXPECT_EQ(r.outputs[i], r.node_map[g.outputs[i]]->id) << "output " << i;
    }
  }
}

// --- the reducer behind its lock --------------------------------------------

TEST(LockedReducer, FinalizeIsTheReductionOfTheStoreAndConsumesTheRest) {
  const StoredGraph g = stored(random_graph(7, 40), true);
  LockedReducer reducer;
  const SaturationEngine engine;
  auto incremental = reducer.finalize(*g.store, g.outputs, engine, false);
  auto one_shot = reduce_with_outputs(*g.store, g.outputs, engine, false);
  ASSERT_TRUE(incremental.ok());
  ASSERT_TRUE(one_shot.ok());
  EXPECT_EQ(reducer.watermark(), g.store->node_count());
  EXPECT_EQ(reducer.total_work(), g.store->node_count());
  EXPECT_EQ(incremental.value().store->snapshot().nodes, one_shot.value().store->snapshot().nodes);
  EXPECT_EQ(incremental.value().store->outputs(), one_shot.value().store->outputs());
  EXPECT_EQ(incremental.value().store->node_map(), one_shot.value().store->node_map());
  EXPECT_EQ(incremental.value().report, one_shot.value().report);
}

TEST(LockedReducer, WithoutOutputsTheStoresMarksAreUsed) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  ASSERT_TRUE(store.intern(op("f", {0})).ok());
  ASSERT_TRUE(store.intern(op("g", {0})).ok());
  ASSERT_TRUE(store.mark_output(2).ok());
  LockedReducer reducer;
  auto r = reducer.finalize(store, std::nullopt, SaturationEngine(), false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().store->node_map(), (NodeMap{at(0), dropped, at(1, 0)}));
  EXPECT_EQ(r.value().report, counters(3, 2, 2, 1, 2, 1));
}

TEST(LockedReducer, BadExplicitOutputConsumesNothing) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  ASSERT_TRUE(store.intern(op("f", {0})).ok());
  LockedReducer reducer;
  auto r = reducer.finalize(store, NodeIds{1, 2}, SaturationEngine(), false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), BadNodeId{2});
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_EQ(reducer.total_work(), 0u);
}

// Engines that break down inside finalize, while the reducer's lock is held.
class ThrowingEngine final : public RewriteEngine {
 public:
  CanonicalGraph canonicalize(const EngineGraph&) const override {
    fail_invariant("engine answers", "broken on purpose");
  }
};

class AllocationFailingEngine final : public RewriteEngine {
 public:
  CanonicalGraph canonicalize(const EngineGraph&) const override { throw std::bad_alloc(); }
};

TEST(LockedReducer, InternalFailureUnderTheLockPoisonsTheReducer) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  LockedReducer reducer;
  EXPECT_THROW((void)reducer.finalize(store, NodeIds{0}, ThrowingEngine(), false), InternalError);
  const auto expect_poisoned = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "a poisoned reducer answered";
    } catch (const InternalError& e) {
      EXPECT_EQ(e.message().rfind("incremental reducer poisoned", 0), 0u) << e.message();
    }
  };
  expect_poisoned([&] { (void)reducer.watermark(); });
  expect_poisoned([&] { (void)reducer.total_work(); });
  expect_poisoned([&] { (void)reducer.canonical_count(); });
  expect_poisoned([&] { (void)reducer.step(store); });
  expect_poisoned([&] { (void)reducer.finalize(store, std::nullopt, SaturationEngine(), false); });
  // The store itself is not affected.
  EXPECT_EQ(store.node_count(), 1u);
}

TEST(LockedReducer, AllocationFailureDoesNotPoison) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  LockedReducer reducer;
  EXPECT_THROW((void)reducer.finalize(store, NodeIds{0}, AllocationFailingEngine(), false), std::bad_alloc);
  EXPECT_EQ(reducer.watermark(), 1u);
  EXPECT_TRUE(reducer.finalize(store, NodeIds{0}, SaturationEngine(), false).ok());
}

// --- threads ----------------------------------------------------------------

constexpr int kBuilders = 2;
constexpr int kReducers = 3;
constexpr int kNodesPerBuilder = 300;

TEST(LockedReducerConcurrency, StepsAndFinalizesWhileTheStoreGrows) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("root")).ok());
  LockedReducer reducer;
  std::latch start(kBuilders + kReducers);
  std::atomic<int> building{kBuilders};
  std::atomic<std::uint64_t> stepped{0};
  std::vector<std::thread> threads;
  for (int b = 0; b < kBuilders; ++b) {
    threads.emplace_back([&, b] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(b) + 1);
      start.arrive_and_wait();
      for (int i = 0; i < kNodesPerBuilder; ++i) {
        // Distinct ops only, so the canonical form is the whole store.
        const std::uint64_t n = store.node_count();
        const ParamMap p = params({{"b", ParamValue::integer(b)}, {"i", ParamValue::integer(i)}});
        EXPECT_TRUE(store.intern(NodeKey::op(i % 2 ? "f" : "g", p, {rng() % n, rng() % n})).ok());
        // Let the reducers in between nodes.
        std::this_thread::yield();
      }
      building.fetch_sub(1);
    });
  }
  for (int t = 0; t < kReducers; ++t) {
    threads.emplace_back([&, t] {
      const SaturationEngine engine;
      std::uint64_t last_watermark = 0;
      start.arrive_and_wait();
      for (int round = 0; building.load() > 0 || round < 3; ++round) {
        if ((round + t) % 4 != 0) {
          auto consumed = reducer.step(store);
          EXPECT_TRUE(consumed.ok());
          if (consumed.ok()) stepped.fetch_add(consumed.value());
        } else {
          const NodeIds outputs = {store.node_count() - 1};
          auto r = reducer.finalize(store, outputs, engine, t % 2 == 1);
          EXPECT_TRUE(r.ok());
          if (r.ok()) {
            const std::uint64_t mapped = r.value().store->node_map().size();
            EXPECT_GT(mapped, outputs[0]);
            EXPECT_GE(mapped, last_watermark);
            last_watermark = mapped;
          }
        }
        const std::uint64_t watermark = reducer.watermark();
        EXPECT_GE(watermark, last_watermark) << "the watermark never moves back";
        last_watermark = watermark;
      }
    });
  }
  for (std::thread& t : threads) t.join();

  const std::uint64_t n = store.node_count();
  ASSERT_EQ(n, 1u + kBuilders * kNodesPerBuilder);
  EXPECT_LE(stepped.load(), n) << "no node is consumed twice";
  step_ok(reducer, store);
  EXPECT_EQ(reducer.watermark(), n);
  EXPECT_EQ(reducer.total_work(), n);
  EXPECT_EQ(reducer.canonical_count(), n);
  const SaturationEngine engine;
  auto incremental = reducer.finalize(store, NodeIds{n - 1, n / 2}, engine, false);
  auto one_shot = reduce_with_outputs(store, NodeIds{n - 1, n / 2}, engine, false);
  ASSERT_TRUE(incremental.ok());
  ASSERT_TRUE(one_shot.ok());
  EXPECT_EQ(incremental.value().store->snapshot().nodes, one_shot.value().store->snapshot().nodes);
  EXPECT_EQ(incremental.value().store->node_map(), one_shot.value().store->node_map());
  EXPECT_EQ(incremental.value().report, one_shot.value().report);
}

}  // namespace
}  // namespace quorvel
