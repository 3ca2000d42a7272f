// The store's operations when an allocation fails: each allocation of an
// operation is made to fail in turn, from the first until the operation
// runs through, and every failure must leave the store as it was and
// working, so that repeating the operation gives what it gives unfailed.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <string>

#include "failing_allocation.hpp"
#include "store/graph_store.hpp"

namespace quorvel {
namespace {

using testing::FailingAllocation;

// Sources s0 .. s9 with ids 0 to 9, and node 0 marked as an output.
std::unique_ptr<GraphStore> ten_sources_output_zero() {
  auto store = std::make_unique<GraphStore>();
  for (int i = 0; i < 10; ++i) {
    if (!store->intern(NodeKey::source("s" + std::to_string(i), {})).ok()) ADD_FAILURE();
  }
  if (!store->mark_output(0).ok()) ADD_FAILURE();
  return store;
}

struct FailureCase {
  const char* name;
  std::function<void(GraphStore&)> operation;
  NodeIds outputs_after;
  std::uint64_t nodes_after;
  // The least number of allocations the operation makes: the failures
  // must reach its last step, not only its scratch space.
  std::size_t at_least_allocations;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class GraphStoreAllocationFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GraphStoreAllocationFailure, LeavesTheStoreAsItWasAndWorking) {
  if (!FailingAllocation::available()) GTEST_SKIP() << "the sanitizer's runtime owns operator new";
  const FailureCase& c = GetParam();
  std::size_t failures = 0;
  for (std::size_t nth = 1;; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
    const std::unique_ptr<GraphStore> store = ten_sources_output_zero();
    bool threw = false;
    bool fired = false;
    {
      FailingAllocation failing(nth);
      try {
        c.operation(*store);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      fired = failing.fired();
    }
    ASSERT_EQ(threw, fired) << "a failed allocation is reported, and only then";
    if (!threw) break;
    ++failures;
    ASSERT_EQ(store->outputs(), (NodeIds{0}));
    ASSERT_EQ(store->node_count(), 10u);
    // Working, and with its outputs' membership as it was: done again, the
    // operation gives what it gives without a failure.
    c.operation(*store);
    ASSERT_EQ(store->outputs(), c.outputs_after);
    ASSERT_EQ(store->node_count(), c.nodes_after);
  }
  EXPECT_GE(failures, c.at_least_allocations);
  const std::unique_ptr<GraphStore> store = ten_sources_output_zero();
  c.operation(*store);
  EXPECT_EQ(store->outputs(), c.outputs_after);
  EXPECT_EQ(store->node_count(), c.nodes_after);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, GraphStoreAllocationFailure,
    ::testing::Values(
        // Four new marks, each a node of the outputs' set, after a repeat
        // and an id already marked.
        FailureCase{"MarkOutputs",
                    [](GraphStore& s) { ASSERT_TRUE(s.mark_outputs({3, 1, 0, 4, 1, 2}).ok()); },
                    {0, 3, 1, 4, 2}, 10, 4},
        FailureCase{"MarkOutput", [](GraphStore& s) { ASSERT_TRUE(s.mark_output(7).ok()); }, {0, 7}, 10, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel
