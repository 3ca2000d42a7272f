// Cancelling the long operations: each one, stopped at its first poll, at
// its last, or in between, throws Cancelled and leaves its store and its
// reducer exactly as they were, and the same call then gives the full
// result.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "../optimizer/optimizer_test_support.hpp"
#include "derivation/derived_stores.hpp"
#include "derivation/locked_reducer.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "serialize/blob_reader.hpp"
#include "serialize/blob_writer.hpp"
#include "store/dot_render.hpp"
#include "support/cancellation.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

// Says "cancelled" at its fire_at-th call (never when fire_at is 0).
struct FireAt {
  std::size_t fire_at = 0;
  std::size_t calls = 0;

  static bool cancelled(void* self) {
    auto* f = static_cast<FireAt*>(self);
    return ++f->calls == f->fire_at;
  }
  // Asked at every unit of work, so that a small graph polls often.
  CancellationCheck check() { return CancellationCheck{&FireAt::cancelled, this, 1}; }
};

// A store, a reducer fed its first half (through a store holding just that
// half, as a store being built would), and the store's blob.
struct Subject {
  std::unique_ptr<GraphStore> store = std::make_unique<GraphStore>();
  std::unique_ptr<LockedReducer> reducer = std::make_unique<LockedReducer>();
  std::string blob;
};

constexpr std::size_t kNodes = 1500;

Subject make_subject() {
  const RandomGraph g = random_graph(21, kNodes);
  Subject s;
  auto half = std::make_unique<GraphStore>();
  NodeIds ids;
  for (std::size_t i = 0; i < g.nodes.size(); ++i) {
    NodeIds inputs;
    for (NodeId input : g.nodes[i].inputs()) inputs.push_back(ids.at(input));
    const NodeKey key = g.nodes[i].with_inputs(inputs);
    ids.push_back(s.store->intern(key).value());
    if (i < g.nodes.size() / 2) EXPECT_TRUE(half->intern(key).ok());
  }
  for (NodeId o : g.outputs) EXPECT_TRUE(s.store->mark_output(ids.at(o)).ok());
  EXPECT_GT(s.reducer->step(*half).value(), 0u);
  s.blob = serialize_with_marks(*s.store);
  return s;
}

// What a caller can see of a subject's state.
std::string state_of(const Subject& s) {
  return serialize_with_marks(*s.store) + "|" + describe(s.store->node_map()) + "|" +
         std::to_string(s.reducer->watermark()) + "," + std::to_string(s.reducer->total_work()) + "," +
         std::to_string(s.reducer->canonical_count());
}

std::string derived_text(const DerivedStore& d) {
  const ReductionCounters& c = d.report;
  return serialize_with_marks(*d.store) + "|" + describe(d.store->node_map()) + "|" +
         std::to_string(c.input_nodes) + "," + std::to_string(c.reachable_nodes) + "," +
         std::to_string(c.canonical_nodes) + "," + std::to_string(c.stages) + "," + std::to_string(c.reduced_nodes) +
         "," + std::to_string(c.boundary_nodes);
}

struct Operation {
  const char* name;
  std::function<std::string(Subject&)> run;
};

NodeIds some_outputs(const GraphStore& store) {
  const std::uint64_t n = store.node_count();
  return {n - 1, n / 2, n - 1, 3};
}

const Operation kOperations[] = {
    {"cone", [](Subject& s) { return serialize_with_marks(*cone(*s.store, some_outputs(*s.store)).value()); }},
    {"reduce_with",
     [](Subject& s) { return derived_text(reduce_with(*s.store, SaturationEngine(), false)); }},
    {"reduce_with_outputs",
     [](Subject& s) {
       return derived_text(reduce_with_outputs(*s.store, some_outputs(*s.store), SaturationEngine(), true).value());
     }},
    {"deserialize", [](Subject& s) { return serialize_with_marks(*deserialize(s.blob).value()); }},
    {"to_dot", [](Subject& s) { return to_dot(*s.store); }},
    {"step",
     [](Subject& s) {
       return std::to_string(s.reducer->step(*s.store).value()) + "|" + state_of(s);
     }},
    {"finalize",
     [](Subject& s) {
       return derived_text(s.reducer->finalize(*s.store, std::nullopt, SaturationEngine(), false).value()) + "|" +
              state_of(s);
     }},
};

// Where among the operation's polls the cancellation fires: the first, the
// last, or that fraction of the way.
class CancelledOperation : public ::testing::TestWithParam<std::tuple<Operation, double>> {};

TEST_P(CancelledOperation, ThrowsAndLeavesEverythingAsItWas) {
  const auto& [operation, where] = GetParam();

  // The full result, and how often the operation polls.
  Subject reference = make_subject();
  std::string expected;
  FireAt never;
  {
    const CancellationCheck check = never.check();
    const CancellationScope scope(check);
    expected = operation.run(reference);
  }
  ASSERT_GT(never.calls, 10u) << "the operation polls as it works";
  {
    Subject unwatched = make_subject();
    EXPECT_EQ(operation.run(unwatched), expected) << "polling changes no result";
  }

  Subject subject = make_subject();
  const std::string before = state_of(subject);
  FireAt fire{std::max<std::size_t>(1, static_cast<std::size_t>(where * static_cast<double>(never.calls)))};
  {
    const CancellationCheck check = fire.check();
    const CancellationScope scope(check);
    EXPECT_THROW(operation.run(subject), Cancelled);
  }
  EXPECT_EQ(fire.calls, fire.fire_at) << "stops at the poll that fired";
  EXPECT_EQ(state_of(subject), before);
  // Not poisoned, and nothing half-done left behind: running it again is
  // exact.
  EXPECT_EQ(operation.run(subject), expected);
}

INSTANTIATE_TEST_SUITE_P(Operations, CancelledOperation,
                         ::testing::Combine(::testing::ValuesIn(kOperations),
                                            ::testing::Values(0.0, 0.25, 0.5, 0.75, 1.0)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_at_" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param) * 100));
                         });

}  // namespace
}  // namespace quorvel
