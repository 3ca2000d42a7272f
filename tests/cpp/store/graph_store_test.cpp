// The interning store: ids, interning, bad ids, outputs, copies and the
// poisoned state after a failure under the lock.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/graph_store.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

// Runs code under the store's private lock, as an operation would.
class GraphStoreTestAccess {
 public:
  template <class E>
  static void throw_under_lock(const GraphStore& store, E error) {
    store.locked([&](const auto&) -> int { throw error; });
  }
};

namespace {

constexpr NodeId kMaxId = std::numeric_limits<NodeId>::max();

NodeKey src(const std::string& name) { return NodeKey::source(name, {}); }

NodeId intern_ok(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  EXPECT_TRUE(id.ok());
  return id.ok() ? id.value() : kMaxId;
}

// A store holding the sources a, b, c with ids 0, 1, 2.
struct GraphStoreThreeNodes : ::testing::Test {
  void SetUp() override {
    for (const char* name : {"a", "b", "c"}) intern_ok(store, src(name));
  }
  GraphStore store;
  std::vector<NodeKey> all = {src("a"), src("b"), src("c")};
};

TEST(GraphStore, InternsEqualKeysOnceAndHandsOutDenseIds) {
  GraphStore store;
  EXPECT_EQ(store.node_count(), 0u);
  EXPECT_TRUE(store.outputs().empty());
  EXPECT_TRUE(store.node_map().empty());
  EXPECT_TRUE(store.snapshot().nodes.empty());
  const NodeKey with_param = NodeKey::source("s", ParamMap({{"k", ParamValue::integer(1)}}));
  EXPECT_EQ(intern_ok(store, src("s")), 0u);
  EXPECT_EQ(intern_ok(store, src("s")), 0u);
  EXPECT_EQ(store.node_count(), 1u);
  EXPECT_EQ(intern_ok(store, with_param), 1u);
  EXPECT_EQ(intern_ok(store, NodeKey::op("f", {}, {0, 1})), 2u);
  EXPECT_EQ(intern_ok(store, NodeKey::op("f", {}, {1, 0})), 3u);
  EXPECT_EQ(intern_ok(store, NodeKey::op("f", {}, {0, 1})), 2u);
  EXPECT_EQ(intern_ok(store, NodeKey::join({}, {2, 3, 3})), 4u);  // input counts are not checked
  EXPECT_EQ(intern_ok(store, with_param), 1u);
  EXPECT_EQ(store.node_count(), 5u);
}

TEST(GraphStore, ManyNodesKeepTheirIds) {
  // Enough nodes to grow the index many times, with a reservation made part
  // way (the arena's boundaries are tested on their own).
  constexpr NodeId kCount = 10000;
  auto key = [](NodeId i) { return i % 2 == 0 ? src("s" + std::to_string(i)) : NodeKey::op("f", {}, {i - 1}); };
  GraphStore store;
  for (NodeId i = 0; i < kCount; ++i) {
    if (i == 100) store.reserve(5000);
    ASSERT_EQ(intern_ok(store, key(i)), i);
  }
  store.reserve(0);
  for (NodeId i = kCount; i-- > 0;) ASSERT_EQ(intern_ok(store, key(i)), i);
  EXPECT_EQ(store.node_count(), kCount);
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), kCount);
  for (NodeId i : {NodeId{0}, NodeId{4095}, NodeId{4096}, NodeId{8193}, kCount - 1}) EXPECT_EQ(snap.nodes[i], key(i));
}

TEST_F(GraphStoreThreeNodes, InternBatchStopsAtTheFirstBadKey) {
  std::vector<NodeKey> batch = {src("b"), NodeKey::op("f", {}, {0}), NodeKey::op("f", {}, {3}), src("d"),
                                NodeKey::op("g", {}, {1, 9}), src("e")};
  auto result = store.intern_batch(batch);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), BadNodeId{9});
  // The keys before the bad one are interned, later ones are not.
  all.insert(all.end(), {NodeKey::op("f", {}, {0}), NodeKey::op("f", {}, {3}), src("d")});
  EXPECT_EQ(store.snapshot().nodes, all);
  std::vector<NodeKey> again = {src("e"), src("a"), src("e"), NodeKey::op("g", {}, {1, 5})};
  EXPECT_TRUE(store.intern_batch(again).ok());
  std::vector<NodeKey> none;
  EXPECT_TRUE(store.intern_batch(none).ok());
  EXPECT_EQ(store.node_count(), 8u);
  EXPECT_EQ(intern_ok(store, src("e")), 6u);
  EXPECT_EQ(intern_ok(store, NodeKey::op("g", {}, {1, 5})), 7u);
}

TEST_F(GraphStoreThreeNodes, FirstInvalidInputIsReportedAndNothingIsAdded) {
  const std::vector<std::pair<NodeIds, NodeId>> cases = {
      {{3}, 3}, {{0, 9, 7}, 9}, {{2, 1, 0, 3}, 3}, {{kMaxId, 5}, kMaxId}};
  for (const auto& [inputs, reported] : cases) {
    for (const NodeKey& key : {NodeKey::op("f", {}, inputs), NodeKey::reduction("r", {}, inputs),
                               NodeKey::external({}, {}, inputs), NodeKey::stage(inputs, {}),
                               NodeKey::exchange({}, inputs), NodeKey::join({}, inputs)}) {
      SCOPED_TRACE(key.token());
      auto result = store.intern(key);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error(), BadNodeId{reported});
      EXPECT_EQ(store.node_count(), 3u);
    }
  }
  EXPECT_EQ(BadNodeId{7}.message(), "no node with id 7");
  EXPECT_EQ(BadNodeId{7}.debug(), "BadNodeId(7)");
  // The key interns once its input exists.
  intern_ok(store, src("d"));
  EXPECT_EQ(intern_ok(store, NodeKey::op("f", {}, {3})), 4u);
}

TEST_F(GraphStoreThreeNodes, MarkOutputKeepsFirstPositionAndRejectsBadIds) {
  for (NodeId id : {2, 0, 2, 0}) EXPECT_TRUE(store.mark_output(id).ok());
  for (NodeId bad : {NodeId{3}, kMaxId}) {
    auto result = store.mark_output(bad);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), BadNodeId{bad});
  }
  EXPECT_EQ(store.outputs(), (NodeIds{2, 0}));
  EXPECT_EQ(store.snapshot().outputs, (NodeIds{2, 0}));
}

TEST_F(GraphStoreThreeNodes, MarkOutputsIsAllOrNothing) {
  ASSERT_TRUE(store.mark_output(1).ok());
  // A bad id anywhere in the list adds no mark, not even the ones before it.
  for (const auto& [ids, reported] : std::vector<std::pair<NodeIds, NodeId>>{
           {{0, 3}, 3}, {{2, 0, 9, 7}, 9}, {{kMaxId}, kMaxId}}) {
    auto result = store.mark_outputs(ids);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), BadNodeId{reported});
    EXPECT_EQ(store.outputs(), (NodeIds{1}));
  }
  // Repeats within the list and ids marked before keep their first position.
  ASSERT_TRUE(store.mark_outputs({2, 1, 2, 0, 0}).ok());
  EXPECT_EQ(store.outputs(), (NodeIds{1, 2, 0}));
  ASSERT_TRUE(store.mark_outputs({}).ok());
  EXPECT_EQ(store.snapshot().outputs, (NodeIds{1, 2, 0}));
  EXPECT_EQ(GraphStore().mark_outputs({0}).error(), BadNodeId{0});
}

TEST_F(GraphStoreThreeNodes, SnapshotsAreCopies) {
  ASSERT_TRUE(store.mark_output(1).ok());
  const Snapshot snap = store.snapshot();
  intern_ok(store, NodeKey::op("f", {}, {0}));
  ASSERT_TRUE(store.mark_output(3).ok());
  EXPECT_EQ(snap.nodes, all);
  EXPECT_EQ(snap.outputs, (NodeIds{1}));
  EXPECT_EQ(store.outputs(), (NodeIds{1, 3}));
  all.push_back(NodeKey::op("f", {}, {0}));
  EXPECT_EQ(store.snapshot_from(0), all);
  EXPECT_EQ(store.snapshot_from(3), (std::vector<NodeKey>{all[3]}));
  for (std::uint64_t w : {std::uint64_t{4}, std::uint64_t{5}, kMaxId}) EXPECT_TRUE(store.snapshot_from(w).empty());
}

TEST_F(GraphStoreThreeNodes, ArenaHoldingChecksIdsInOrder) {
  for (const NodeIds& ids : {NodeIds{}, NodeIds{2}, NodeIds{0, 1, 2, 2}}) {
    auto result = store.arena_holding(ids);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), all);
  }
  auto bad = store.arena_holding({0, 5, 9});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{5});
  EXPECT_EQ(GraphStore().arena_holding({0}).error(), BadNodeId{0});
}

TEST_F(GraphStoreThreeNodes, NodeMapAndLockedView) {
  const NodeMap map = {NodeMapEntry{0, std::nullopt}, std::nullopt, NodeMapEntry{1, 2}};
  store.set_node_map(map);
  EXPECT_EQ(store.node_map(), map);
  ASSERT_TRUE(store.mark_output(2).ok());
  const std::string seen = store.read_locked([](const GraphStore::View& view) {
    std::string text;
    for (std::size_t i = 0; i < view.size(); ++i) text += view[i].token() + ",";
    return text + std::to_string(view.outputs().at(0));
  });
  EXPECT_EQ(seen, "src|a,src|b,src|c,2");
}

// Every operation of the store.
const std::vector<std::pair<const char*, std::function<void(GraphStore&)>>> kOperations = {
    {"intern", [](GraphStore& s) { (void)s.intern(src("z")); }},
    {"intern_batch", [](GraphStore& s) { std::vector<NodeKey> keys = {src("z")}; (void)s.intern_batch(keys); }},
    {"reserve", [](GraphStore& s) { s.reserve(10); }},
    {"mark_output", [](GraphStore& s) { (void)s.mark_output(0); }},
    {"mark_outputs", [](GraphStore& s) { (void)s.mark_outputs({0}); }},
    {"outputs", [](GraphStore& s) { (void)s.outputs(); }},
    {"node_count", [](GraphStore& s) { (void)s.node_count(); }},
    {"node_map", [](GraphStore& s) { (void)s.node_map(); }},
    {"snapshot", [](GraphStore& s) { (void)s.snapshot(); }},
    {"snapshot_from", [](GraphStore& s) { (void)s.snapshot_from(0); }},
    {"arena_holding", [](GraphStore& s) { (void)s.arena_holding({0}); }},
    {"set_node_map", [](GraphStore& s) { s.set_node_map({}); }},
    {"read_locked", [](GraphStore& s) { (void)s.read_locked([](const GraphStore::View& v) { return v.size(); }); }},
    {"index_bytes", [](GraphStore& s) { (void)s.index_bytes(); }},
};

template <class E>
void expect_poisoned_after(E error) {
  GraphStore store;
  intern_ok(store, src("a"));
  EXPECT_THROW(GraphStoreTestAccess::throw_under_lock(store, error), E);
  for (const auto& [name, operation] : kOperations) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        operation(store);
        ADD_FAILURE() << name << " succeeded on a poisoned store";
      } catch (const InternalError& e) {
        EXPECT_EQ(e.message().rfind("quorvel-core store mutex poisoned", 0), 0u) << name << ": " << e.message();
      }
    }
  }
}

TEST(GraphStore, FailureUnderTheLockPoisonsEveryLaterOperation) {
  expect_poisoned_after(std::runtime_error("boom"));
  expect_poisoned_after(InternalError("broken: detail"));
}

TEST(GraphStore, AllocationFailureUnderTheLockDoesNotPoison) {
  GraphStore store;
  EXPECT_THROW(GraphStoreTestAccess::throw_under_lock(store, std::bad_alloc()), std::bad_alloc);
  for (const auto& [name, operation] : kOperations) EXPECT_NO_THROW(operation(store)) << name;
  EXPECT_EQ(store.node_count(), 1u);
}

}  // namespace
}  // namespace quorvel
