// Many threads interning overlapping keys into one store.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/graph_store.hpp"

namespace quorvel {
namespace {

constexpr int kThreads = 8;
constexpr int kSources = 300;

NodeKey source(int i) { return NodeKey::source("s" + std::to_string(i), ParamMap({{"i", ParamValue::integer(i)}})); }

// Interns every source, and an op reading it, in a thread-specific order;
// odd threads first intern all sources in one batch. ids[2i] is the id of
// source i, ids[2i + 1] that of its op; the op's key holds the source's id,
// so threads that disagreed on it would add more ops.
void intern_all(GraphStore& store, int thread, std::latch& start, std::vector<NodeId>& ids) {
  std::vector<int> order(kSources);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(thread) * 7919u + 1u));
  ids.assign(2 * kSources, ~NodeId{0});
  start.arrive_and_wait();
  if (thread % 2 == 1) {
    std::vector<NodeKey> batch;
    for (int i : order) batch.push_back(source(i));
    if (!store.intern_batch(batch).ok()) return;
  }
  for (int i : order) {
    auto s = store.intern(source(i));
    if (!s.ok()) return;
    auto o = store.intern(NodeKey::op("f", {}, {s.value(), s.value()}));
    if (!o.ok()) return;
    ids[2 * i] = s.value();
    ids[2 * i + 1] = o.value();
  }
}

TEST(GraphStoreConcurrency, OverlappingInternsGetOneIdPerDistinctKey) {
  GraphStore store;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::latch start(kThreads + 1);
  std::atomic<bool> done{false}, consistent{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(intern_all, std::ref(store), t, std::ref(start), std::ref(seen[t]));
  }
  // A reader taking snapshots meanwhile: each must be topologically ordered.
  std::thread reader([&] {
    start.arrive_and_wait();
    while (!done.load()) {
      const Snapshot snap = store.snapshot();
      for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
        for (NodeId input : snap.nodes[i].inputs()) consistent = consistent && input < i;
      }
      consistent = consistent && store.node_count() >= snap.nodes.size();
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();

  EXPECT_TRUE(consistent);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
  EXPECT_EQ(store.node_count(), 2u * kSources);
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), 2u * kSources);
  for (int i = 0; i < kSources; ++i) {
    const NodeId s = seen[0][2 * i], o = seen[0][2 * i + 1];
    ASSERT_LT(s, o);
    EXPECT_EQ(snap.nodes[s], source(i));
    EXPECT_EQ(snap.nodes[o], NodeKey::op("f", {}, {s, s}));
  }
  std::vector<NodeId> ids = seen[0];
  std::sort(ids.begin(), ids.end());
  std::vector<NodeId> dense(ids.size());
  std::iota(dense.begin(), dense.end(), NodeId{0});
  EXPECT_EQ(ids, dense);
}

}  // namespace
}  // namespace quorvel
