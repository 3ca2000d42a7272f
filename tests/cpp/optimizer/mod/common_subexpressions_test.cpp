// Common-subexpression elimination over the canonical graph: the first
// node of each operator and input list stays.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "optimizer/mod/common_subexpressions.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

EngineGraph engine_graph(const std::vector<std::pair<std::string, NodeIds>>& nodes, NodeIds outputs) {
  EngineGraph g;
  for (const auto& [text, inputs] : nodes) g.nodes.push_back(enode(text, inputs));
  g.outputs = std::move(outputs);
  return g;
}

TEST(CommonSubexpressions, FirstNodeOfEachOperatorAndInputListStays) {
  const EngineGraph g = engine_graph({{"src|a", {}},
                                      {"op|f", {0}},
                                      {"op|f", {0}},
                                      {"op|g", {1}},
                                      {"op|g", {2}},  // equal to 3 once 2 is 1
                                      {"op|h", {1, 0}},
                                      {"op|h", {0, 1}},  // input order matters
                                      {"red|f", {0}},    // another operator on the same input
                                      {"src|a", {}},
                                      {"op|k", {3, 3}},
                                      {"op|k", {4, 3}}},
                                     {10, 2, 9});
  const HashConsedGraph h = cse(g);
  EXPECT_EQ(h.cse_index, (LargeVector<std::uint64_t>{0, 1, 1, 2, 2, 3, 4, 5, 0, 6, 6}));
  EXPECT_EQ(op_texts(h.graph),
            (std::vector<std::string>{"src|a", "op|f", "op|g", "op|h", "op|h", "red|f", "op|k"}));
  EXPECT_EQ(input_lists(h.graph), (std::vector<NodeIds>{{}, {0}, {1}, {1, 0}, {0, 1}, {0}, {2, 2}}));
  EXPECT_EQ(h.graph.outputs, (NodeIds{6, 1, 6}));
  std::vector<bool> barriers;
  for (const EngineNode& n : h.graph.nodes) barriers.push_back(n.barrier);
  EXPECT_EQ(barriers, (std::vector<bool>{true, false, false, false, false, true, false}));

  const HashConsedGraph empty = cse(EngineGraph{});
  EXPECT_TRUE(empty.graph.nodes.empty());
  EXPECT_TRUE(empty.cse_index.empty());
}

}  // namespace
}  // namespace quorvel
