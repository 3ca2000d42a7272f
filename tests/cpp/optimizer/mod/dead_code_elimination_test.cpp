// Dead-code elimination: what the outputs read stays, in source order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "optimizer/mod/dead_code_elimination.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

constexpr std::uint64_t kDrop = kNoNode;

struct DceCase {
  const char* what;
  std::vector<NodeKey> nodes;
  NodeIds outputs;
  std::vector<NodeKey> kept;
  NodeIds kept_outputs;
  LargeVector<std::uint64_t> kept_index;
};

TEST(DeadCodeElimination, KeepsWhatTheOutputsReadInSourceOrder) {
  const NodeKey a = src("a"), b = src("b"), c = src("c");
  const std::vector<DceCase> cases = {
      {"cone of one op", {a, b, op("f", {0})}, {2}, {a, op("f", {0})}, {1}, {0, kDrop, 1}},
      {"no outputs", {a, b, op("f", {0})}, {}, {}, {}, {kDrop, kDrop, kDrop}},
      {"empty graph", {}, {}, {}, {}, {}},
      {"outputs keep order and repeats", {a, b, op("f", {0})}, {2, 0, 2}, {a, op("f", {0})}, {1, 0, 1}, {0, kDrop, 1}},
      {"repeated inputs survive", {a, b, NodeKey::join({}, {1, 1})}, {2}, {b, NodeKey::join({}, {0, 0})}, {1},
       {kDrop, 0, 1}},
      {"diamond", {a, op("f", {0}), b, op("g", {0}), c, op("h", {3, 1})}, {5},
       {a, op("f", {0}), op("g", {0}), op("h", {2, 1})}, {3}, {0, 1, kDrop, 2, kDrop, 3}},
      {"a source output", {a, b, c}, {1}, {b}, {0}, {kDrop, 0, kDrop}},
      {"stage inputs renumbered, members kept", {a, b, NodeKey::stage({1}, {member("op|f", {in(0)})})}, {2},
       {b, NodeKey::stage({0}, {member("op|f", {in(0)})})}, {1}, {kDrop, 0, 1}},
  };
  for (const DceCase& c : cases) {
    SCOPED_TRACE(c.what);
    const KeptGraph kept = dead_code_elimination(c.nodes, c.outputs);
    EXPECT_EQ(kept.nodes, c.kept);
    EXPECT_EQ(kept.outputs, c.kept_outputs);
    EXPECT_EQ(kept.kept_index, c.kept_index);
  }
}

TEST(DeadCodeElimination, DeepChainNeedsNoCallStack) {
  constexpr std::size_t kLength = 300000;
  std::vector<NodeKey> nodes = {src("x")};
  for (NodeId i = 1; i < kLength; ++i) nodes.push_back(NodeKey::reduction("r", {}, {i - 1}));
  nodes.push_back(src("unused"));
  const KeptGraph kept = dead_code_elimination(nodes, {kLength - 1});
  ASSERT_EQ(kept.nodes.size(), kLength);
  EXPECT_EQ(kept.kept_index.back(), kDrop);
  EXPECT_EQ(kept.outputs, (NodeIds{kLength - 1}));
  EXPECT_EQ(kept.nodes[kLength - 1], nodes[kLength - 1]);
}

}  // namespace
}  // namespace quorvel
