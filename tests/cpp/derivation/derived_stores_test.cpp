// Stores derived from another store: cones, stores built from a reduction,
// the two reduction entry points, and what they leave untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "../optimizer/optimizer_test_support.hpp"
#include "derivation/derived_stores.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& nodes, const NodeIds& marks = {}) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& key : nodes) EXPECT_TRUE(store->intern(key).ok()) << key.label();
  for (NodeId id : marks) EXPECT_TRUE(store->mark_output(id).ok());
  EXPECT_EQ(store->node_count(), nodes.size()) << "the nodes are meant to be distinct";
  return store;
}

// A generated graph interned into a store: equal keys collapse, so inputs
// and marks are renumbered to the ids the store hands out.
std::unique_ptr<GraphStore> store_of(const RandomGraph& g) {
  auto store = std::make_unique<GraphStore>();
  NodeIds ids;
  for (const NodeKey& key : g.nodes) {
    NodeIds inputs;
    for (NodeId input : key.inputs()) inputs.push_back(ids.at(input));
    auto id = store->intern(key.with_inputs(inputs));
    EXPECT_TRUE(id.ok());
    ids.push_back(id.ok() ? id.value() : 0);
  }
  for (NodeId o : g.outputs) EXPECT_TRUE(store->mark_output(ids.at(o)).ok());
  return store;
}

// Source a (0), source b (1), op on a (2).
std::vector<NodeKey> three_nodes() { return {src("a"), src("b"), op("f", {0})}; }

std::unique_ptr<GraphStore> cone_ok(const GraphStore& store, const NodeIds& outputs) {
  auto result = cone(store, outputs);
  EXPECT_TRUE(result.ok());
  return result.ok() ? std::move(result).value() : std::make_unique<GraphStore>();
}

TEST(Cone, KeepsWhatTheOutputsReadWithANodeMap) {
  const auto store = store_of(three_nodes());
  const auto c = cone_ok(*store, {2});
  EXPECT_EQ(c->snapshot().nodes, (std::vector<NodeKey>{src("a"), op("f", {0})}));
  EXPECT_EQ(c->outputs(), (NodeIds{1}));
  EXPECT_EQ(c->node_map(), (NodeMap{at(0), dropped, at(1)}));
}

TEST(Cone, EmptyOutputListGivesAnEmptyStore) {
  const auto store = store_of(three_nodes());
  const auto c = cone_ok(*store, {});
  EXPECT_EQ(c->node_count(), 0u);
  EXPECT_TRUE(c->outputs().empty());
  EXPECT_EQ(c->node_map(), (NodeMap{dropped, dropped, dropped}));
}

TEST(Cone, RepeatedOutputIsMarkedOnceAndOrderIsKept) {
  const auto store = store_of(three_nodes());
  EXPECT_EQ(cone_ok(*store, {2, 2})->outputs(), (NodeIds{1}));
  const auto c = cone_ok(*store, {2, 1, 2, 0});
  EXPECT_EQ(c->snapshot().nodes, three_nodes());
  EXPECT_EQ(c->outputs(), (NodeIds{2, 1, 0}));
  EXPECT_EQ(c->node_map(), (NodeMap{at(0), at(1), at(2)}));
}

TEST(Cone, ConeOfAnEmptyStoreHasAnEmptyNodeMap) {
  const GraphStore empty;
  const auto c = cone_ok(empty, {});
  EXPECT_EQ(c->node_count(), 0u);
  EXPECT_TRUE(c->node_map().empty());
}

TEST(DerivedStores, BadOutputIdIsReportedBeforeAnyWork) {
  const auto store = store_of(three_nodes(), {2});
  const SaturationEngine engine;
  constexpr NodeId kMax = std::numeric_limits<NodeId>::max();
  const std::vector<std::pair<NodeIds, NodeId>> cases = {{{3}, 3}, {{0, 5, 3}, 5}, {{2, 2, 4}, 4}, {{kMax}, kMax}};
  for (const auto& [outputs, bad] : cases) {
    auto c = cone(*store, outputs);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error(), BadNodeId{bad});
    for (bool maximal : {false, true}) {
      CountingEngine counting(engine);
      auto r = reduce_with_outputs(*store, outputs, counting, maximal);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), BadNodeId{bad});
      auto counted = count_reduction_with_outputs(*store, outputs, counting, maximal);
      ASSERT_FALSE(counted.ok());
      EXPECT_EQ(counted.error(), BadNodeId{bad});
      EXPECT_EQ(counting.calls, 0) << "the engine ran for a request that was going to fail";
    }
  }
  EXPECT_EQ(store->snapshot().nodes, three_nodes());
  EXPECT_EQ(store->outputs(), (NodeIds{2}));
}

TEST(DerivedStores, FromReducedInternsRenumbersAndMergesEqualKeys) {
  const std::vector<StageOp> members = {member("op|g", {in(0)}), member("op|h", {mem(0), in(1)})};
  Reduced r;
  r.nodes = {src("a"), src("b"), src("a"), op("f", {0}), op("f", {2}), NodeKey::stage({3, 1}, members),
             NodeKey::stage({4, 1}, members)};
  r.outputs = {6, 4, 5, 1};
  r.node_map = {at(0), dropped, at(2), at(4), at(6, 1), at(5, 0), at(1)};
  r.counters = counters(9, 8, 7, 6, 5, 4);  // passed through as they are
  const DerivedStore d = from_reduced(std::move(r));
  // Positions 0 and 2, 3 and 4, 5 and 6 hold equal keys once renumbered.
  EXPECT_EQ(d.store->snapshot().nodes,
            (std::vector<NodeKey>{src("a"), src("b"), op("f", {0}), NodeKey::stage({2, 1}, members)}));
  EXPECT_EQ(d.store->outputs(), (NodeIds{3, 2, 1}));
  EXPECT_EQ(d.store->node_map(), (NodeMap{at(0), dropped, at(0), at(2), at(3, 1), at(3, 0), at(1)}));
  EXPECT_EQ(d.report, counters(9, 8, 7, 6, 5, 4));

  const DerivedStore empty = from_reduced(Reduced{});
  EXPECT_EQ(empty.store->node_count(), 0u);
  EXPECT_TRUE(empty.store->node_map().empty());
  EXPECT_EQ(empty.report, ReductionCounters{});
}

TEST(DerivedStores, ReduceWithOutputsIgnoresTheMarks) {
  // Source x, op a on x, op b on a, unused source y; marked: y only.
  const auto store = store_of({src("x"), op("a", {0}), op("b", {1}), src("y")}, {3});
  for (bool maximal : {false, true}) {
    auto result = reduce_with_outputs(*store, {2, 2}, SaturationEngine(), maximal);
    ASSERT_TRUE(result.ok());
    const DerivedStore& d = result.value();
    const NodeKey stage = NodeKey::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})});
    EXPECT_EQ(d.store->snapshot().nodes, (std::vector<NodeKey>{src("x"), stage}));
    EXPECT_EQ(d.store->outputs(), (NodeIds{1}));
    EXPECT_EQ(d.store->node_map(), (NodeMap{at(0), at(1, 0), at(1, 1), dropped}));
    EXPECT_EQ(d.report, counters(4, 3, 3, 1, 2, 1));
  }
}

TEST(DerivedStores, ReduceWithUsesTheMarksInMarkOrder) {
  const std::vector<NodeKey> nodes = {src("x"), src("y"), op("add", {0, 1}), op("add", {1, 0}), op("g", {2}),
                                      NodeKey::reduction("r", {}, {3}), src("unused")};
  const auto store = store_of(nodes, {5, 4, 3});
  const SaturationEngine engine;
  for (bool maximal : {false, true}) {
    const DerivedStore d = reduce_with(*store, engine, maximal);
    const Reduced expected = reduce_with_mode(nodes, {5, 4, 3}, engine, maximal);
    EXPECT_EQ(d.store->snapshot().nodes, expected.nodes) << describe(d.store->snapshot().nodes);
    EXPECT_EQ(d.store->node_map(), expected.node_map) << describe(d.store->node_map());
    EXPECT_EQ(d.report, expected.counters);
    NodeIds marks;
    for (NodeId o : expected.outputs) {
      if (std::find(marks.begin(), marks.end(), o) == marks.end()) marks.push_back(o);
    }
    EXPECT_EQ(d.store->outputs(), marks);
    EXPECT_EQ(d.store->node_map()[6], dropped);
    EXPECT_EQ(d.store->node_map()[2], d.store->node_map()[3]);
    // The report alone is the same, with the marks or with them listed.
    EXPECT_EQ(count_reduction(*store, engine, maximal), d.report);
    const auto listed = count_reduction_with_outputs(*store, {0, 3}, engine, maximal);
    ASSERT_TRUE(listed.ok());
    EXPECT_EQ(listed.value(), reduce_with_outputs(*store, {0, 3}, engine, maximal).value().report);
  }
  // A store without marks reduces to nothing.
  const auto unmarked = store_of(nodes);
  const DerivedStore d = reduce_with(*unmarked, engine, false);
  EXPECT_EQ(d.store->node_count(), 0u);
  EXPECT_EQ(d.store->node_map(), NodeMap(nodes.size(), dropped));
  EXPECT_EQ(d.report, counters(nodes.size(), 0, 0, 0, 0, 0));
}

TEST(DerivedStores, SourceStoreIsLeftAsItWas) {
  const auto store = store_of(random_graph(7, 200));
  // Give the source a node map of its own, as a derived store would have.
  const DerivedStore first = reduce_with(*store, SaturationEngine(), false);
  GraphStore& source = *first.store;
  const Snapshot before = source.snapshot();
  const NodeMap map_before = source.node_map();
  const std::uint64_t count = source.node_count();

  (void)cone_ok(source, before.outputs);
  (void)reduce_with(source, SaturationEngine(), true);
  auto explicit_outputs = reduce_with_outputs(source, {0, count - 1}, SaturationEngine(), false);
  ASSERT_TRUE(explicit_outputs.ok());

  const Snapshot after = source.snapshot();
  EXPECT_EQ(after.nodes, before.nodes);
  EXPECT_EQ(after.outputs, before.outputs);
  EXPECT_EQ(source.node_map(), map_before);
}

TEST(DerivedStores, NodeMapHasOneEntryPerSourceNode) {
  const auto owned = store_of(random_graph(11, 150));
  const GraphStore& store = *owned;
  EXPECT_TRUE(store.node_map().empty()) << "a store built by adding nodes has no node map";
  const std::uint64_t n = store.node_count();

  const auto c = cone_ok(store, {n - 1});
  EXPECT_EQ(c->node_map().size(), n);
  const DerivedStore marked = reduce_with(store, SaturationEngine(), true);
  EXPECT_EQ(marked.store->node_map().size(), n);
  auto listed = reduce_with_outputs(store, {0}, SaturationEngine(), false);
  ASSERT_TRUE(listed.ok());
  EXPECT_EQ(listed.value().store->node_map().size(), n);

  // A derived store is an ordinary store: it grows, but its node map still
  // describes the store it came from.
  GraphStore& derived = *marked.store;
  const std::uint64_t m = derived.node_count();
  ASSERT_TRUE(derived.intern(src("added later")).ok());
  EXPECT_EQ(derived.node_count(), m + 1);
  EXPECT_EQ(derived.node_map().size(), n);
  EXPECT_TRUE(derived.snapshot_from(m + 1).empty());
  EXPECT_TRUE(derived.snapshot_from(m + 5).empty());
  EXPECT_EQ(derived.snapshot_from(m), (std::vector<NodeKey>{src("added later")}));
}

TEST(DerivedStores, ReducingAReducedStoreChangesNothing) {
  for (std::uint64_t seed = 30; seed < 45; ++seed) {
    const auto owned = store_of(random_graph(seed, 180));
    const GraphStore& store = *owned;
    for (bool maximal : {false, true}) {
      SCOPED_TRACE(numbered("seed ", seed) + (maximal ? " maximal" : " single-use"));
      const DerivedStore once = reduce_with(store, SaturationEngine(), maximal);
      const DerivedStore twice = reduce_with(*once.store, SaturationEngine(), maximal);
      const std::vector<NodeKey> reduced = once.store->snapshot().nodes;
      EXPECT_EQ(twice.store->snapshot().nodes, reduced) << describe(reduced);
      EXPECT_EQ(twice.store->outputs(), once.store->outputs());
      NodeMap identity;
      for (NodeId i = 0; i < reduced.size(); ++i) identity.push_back(at(i));
      EXPECT_EQ(twice.store->node_map(), identity) << describe(twice.store->node_map());
      EXPECT_EQ(twice.report.stages, 0u);
    }
  }
}

}  // namespace
}  // namespace quorvel
