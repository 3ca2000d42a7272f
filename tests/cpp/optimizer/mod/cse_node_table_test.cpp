// The table of common-subexpression elimination under a hash that sends
// every node to one slot with one tag: only the comparison of operators and
// inputs can then tell nodes apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "optimizer/mod/cse_node_table.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

struct OneHashForAll {
  std::uint64_t operator()(egraph::GlobalSymbol, std::span<const NodeId>) const noexcept {
    return 0x5a5a5a5a5a5a5a5aULL;
  }
};

using CollidingTable = CseNodeTable<OneHashForAll>;

// Files the nodes in order as the pass does: a node found in the table
// takes the earlier position, a new one is appended. Returns the position
// of each.
std::vector<std::uint64_t> file_all(const std::vector<std::pair<std::string, NodeIds>>& nodes) {
  LargeVector<EngineNode> kept;
  CollidingTable table(kept, nodes.size());
  std::vector<std::uint64_t> positions;
  for (const auto& [text, inputs] : nodes) {
    const EngineNode node = enode(text, inputs);
    const std::uint64_t held = table.find_or_insert(node.op, inputs, kept.size());
    if (held != CollidingTable::kEmpty) {
      positions.push_back(held);
    } else {
      positions.push_back(kept.size());
      kept.push_back(node);
    }
  }
  return positions;
}

struct PairCase {
  const char* name;
  std::string first_op;
  NodeIds first_inputs;
  std::string second_op;
  NodeIds second_inputs;
  std::uint64_t second_lands_at;  // 0: the same node as the first; 1: a new one
};

class CseNodeTableCollision : public ::testing::TestWithParam<PairCase> {};

TEST_P(CseNodeTableCollision, EqualHashesMatchOnlyEqualNodes) {
  const PairCase& c = GetParam();
  EXPECT_EQ(file_all({{c.first_op, c.first_inputs}, {c.second_op, c.second_inputs}}),
            (std::vector<std::uint64_t>{0, c.second_lands_at}));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CseNodeTableCollision,
    ::testing::Values(PairCase{"SameNode", "op|f", {3, 4}, "op|f", {3, 4}, 0},
                      PairCase{"SameNodeWithoutInputs", "src|a", {}, "src|a", {}, 0},
                      PairCase{"OtherOperator", "op|f", {3, 4}, "op|g", {3, 4}, 1},
                      PairCase{"OtherFirstInput", "op|f", {3, 4}, "op|f", {5, 4}, 1},
                      PairCase{"OtherLastInput", "op|f", {3, 4}, "op|f", {3, 5}, 1},
                      PairCase{"SwappedInputs", "op|f", {3, 4}, "op|f", {4, 3}, 1},
                      PairCase{"FewerInputs", "op|f", {3, 4}, "op|f", {3}, 1},
                      PairCase{"MoreInputs", "op|f", {3}, "op|f", {3, 4}, 1},
                      PairCase{"NoInputsAgainstSome", "op|f", {}, "op|f", {0}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Every node in one probe chain: each is found past the ones before it,
// and a node that differs from all of them only in an input is new.
TEST(CseNodeTable, AChainOfCollidingNodesKeepsEachApart) {
  std::vector<std::pair<std::string, NodeIds>> nodes;
  for (NodeId i = 0; i < 20; ++i) nodes.push_back({"op|f", {i, 7}});
  nodes.push_back({"op|f", {12, 7}});
  nodes.push_back({"op|f", {0, 7}});
  nodes.push_back({"op|f", {20, 7}});
  const std::vector<std::uint64_t> positions = file_all(nodes);
  ASSERT_EQ(positions.size(), 23u);
  for (std::uint64_t i = 0; i < 20; ++i) EXPECT_EQ(positions[i], i);
  EXPECT_EQ(positions[20], 12u);
  EXPECT_EQ(positions[21], 0u);
  EXPECT_EQ(positions[22], 20u);
}

}  // namespace
}  // namespace quorvel
