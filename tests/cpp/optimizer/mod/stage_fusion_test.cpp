// Stage fusion on hand-built hash-consed graphs: grouping under both rules,
// member references, shared stage inputs, emission order and landings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "optimizer/mod/prototypes.hpp"
#include "optimizer/mod/stage_fusion.hpp"
#include "../optimizer_test_support.hpp"
#include "support/internal_error.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

// Runs fusion on keys taken as the hash-consed graph: each node's operator
// is its engine key, numbered as a reduction numbers it, and every node
// offers itself as its key's prototype.
FusedGraph fuse(const std::vector<NodeKey>& keys, const NodeIds& outputs, bool maximal) {
  EngineGraph g;
  Prototypes prototypes(keys);
  egraph::LocalSymbols symbols;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string key = engine_key(keys[i]);
    g.nodes.push_back(EngineNode{symbols.intern(key), EngineInputs(keys[i].inputs()), barrier_for_key(key)});
    prototypes.offer(g.nodes.back().op, i);
  }
  g.outputs = outputs;
  // The stages own their member tokens: nothing borrows from the symbols
  // once they are gone.
  return stage_fusion(g, prototypes, symbols, maximal);
}

NodeMapEntry land(NodeId id, std::optional<std::size_t> m = std::nullopt) { return NodeMapEntry{id, m}; }

struct FusionCase {
  std::string name;
  std::vector<NodeKey> keys;
  NodeIds outputs;
  std::vector<bool> rules;  // the maximal_fusion flags the expectation holds for
  std::vector<NodeKey> nodes;
  NodeIds fused_outputs;
  LargeVector<NodeMapSlot> landing;
  std::size_t stages;
  std::size_t boundary;
};

const std::vector<bool> kBoth = {false, true};
const std::vector<bool> kSingleUse = {false};
const std::vector<bool> kMaximal = {true};

std::vector<FusionCase> fusion_cases() {
  const NodeKey x = src("x"), y = src("y");
  using N = NodeKey;
  std::vector<FusionCase> cases = {
      {"Chain", {x, op("a", {0}), op("b", {1})}, {2}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})})}, {1},
       {land(0), land(1, 0), land(1, 1)}, 1, 1},
      {"FanOutSingleUse", {x, op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})}, {4}, kSingleUse,
       {x, N::stage({0}, {member("op|a", {in(0)})}),
        N::stage({1}, {member("op|b", {in(0)}), member("op|c", {in(0)}), member("op|d", {mem(0), mem(1)})})},
       {2}, {land(0), land(1, 0), land(2, 0), land(2, 1), land(2, 2)}, 2, 1},
      {"FanOutMaximal", {x, op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})}, {4}, kMaximal,
       {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)}), member("op|c", {mem(0)}),
                          member("op|d", {mem(1), mem(2)})})},
       {1}, {land(0), land(1, 0), land(1, 1), land(1, 2), land(1, 3)}, 1, 1},
      {"UsedTwiceByOneConsumerSingleUse", {x, op("b", {0}), op("d", {1, 1})}, {2}, kSingleUse,
       {x, N::stage({0}, {member("op|b", {in(0)})}), N::stage({1}, {member("op|d", {in(0), in(0)})})}, {2},
       {land(0), land(1, 0), land(2, 0)}, 2, 1},
      {"UsedTwiceByOneConsumerMaximal", {x, op("b", {0}), op("d", {1, 1})}, {2}, kMaximal,
       {x, N::stage({0}, {member("op|b", {in(0)}), member("op|d", {mem(0), mem(0)})})}, {1},
       {land(0), land(1, 0), land(1, 1)}, 1, 1},
      {"OutputIsNeverAbsorbedButAbsorbsItsProducers", {x, op("a", {0}), op("b", {1}), op("c", {2})}, {3, 2}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})}),
        N::stage({1}, {member("op|c", {in(0)})})},
       {2, 1}, {land(0), land(1, 0), land(1, 1), land(2, 0)}, 2, 1},
      {"LoneOpIsAOneMemberStage", {x, op("a", {0})}, {1}, kBoth, {x, N::stage({0}, {member("op|a", {in(0)})})}, {1},
       {land(0), land(1, 0)}, 1, 1},
      {"OneProducerReadTwiceIsOneStageInput", {x, op("a", {0, 0})}, {1}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0), in(0)})})}, {1}, {land(0), land(1, 0)}, 1, 1},
      {"NonStageNodeKeepsRepeatedInputs", {x, N::join({}, {0, 0})}, {1}, kBoth, {x, N::join({}, {0, 0})}, {1},
       {land(0), land(1)}, 0, 2},
      {"TwoMembersShareTheirProducersInput", {x, op("a", {0}), op("b", {0}), op("c", {1, 2})}, {3}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {in(0)}), member("op|c", {mem(0), mem(1)})})},
       {1}, {land(0), land(1, 0), land(1, 1), land(1, 2)}, 1, 1},
      {"EmissionFollowsTheHighestMember", {x, op("a", {0}), y, op("b", {1, 2})}, {3}, kBoth,
       {x, y, N::stage({0, 1}, {member("op|a", {in(0)}), member("op|b", {mem(0), in(1)})})}, {2},
       {land(0), land(2, 0), land(1), land(2, 1)}, 1, 2},
      {"UsesInTwoGroupsKeepAnOpAlone", {x, op("a", {0}), op("b", {1}), op("c", {1})}, {2, 3}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)})}), N::stage({1}, {member("op|b", {in(0)})}),
        N::stage({1}, {member("op|c", {in(0)})})},
       {2, 3}, {land(0), land(1, 0), land(2, 0), land(3, 0)}, 3, 1},
      {"UseByANonOpKeepsAnOpAlone", {x, op("a", {0}), op("b", {1}), N::reduction("r", {}, {1, 2})}, {3}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)})}), N::stage({1}, {member("op|b", {in(0)})}),
        N::reduction("r", {}, {1, 2})},
       {3}, {land(0), land(1, 0), land(2, 0), land(3)}, 2, 2},
      // The sink's stage reads the source directly and through a member.
      {"ProducerReadDirectlyAndThroughAMember", {x, op("a", {0}), op("b", {1, 0})}, {2}, kBoth,
       {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0), in(0)})})}, {1},
       {land(0), land(1, 0), land(1, 1)}, 1, 1},
      {"DuplicatedOutputs", {x, op("a", {0})}, {1, 0, 1}, kBoth, {x, N::stage({0}, {member("op|a", {in(0)})})},
       {1, 0, 1}, {land(0), land(1, 0)}, 1, 1},
      {"Empty", {}, {}, kBoth, {}, {}, {}, 0, 0},
  };
  // An op whose one use is a non-op node is the sink of its own stage.
  const std::vector<std::pair<std::string, NodeKey>> barriers = {
      {"Reduction", N::reduction("r", {}, {2})},
      {"Join", N::join({}, {2, 2})},
      {"Exchange", N::exchange({}, {2})},
      {"External", N::external({"k", "h", "fw", "1", "io", std::nullopt}, {}, {2})},
      {"Stage", N::stage({2}, {member("op|z", {in(0)})})},
  };
  for (const auto& [kind, consumer] : barriers) {
    NodeIds rebuilt(consumer.inputs().size(), 1);
    cases.push_back({"NotFusedInto" + kind, {x, op("a", {0}), op("b", {1}), consumer}, {3}, kBoth,
                     {x, N::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})}),
                      consumer.with_inputs(rebuilt)},
                     {2}, {land(0), land(1, 0), land(1, 1), land(2)}, 1, 2});
  }
  return cases;
}

struct FusionRun {
  FusionCase c;
  bool maximal;
};

std::vector<FusionRun> fusion_runs() {
  std::vector<FusionRun> runs;
  for (const FusionCase& c : fusion_cases()) {
    for (bool maximal : c.rules) runs.push_back({c, maximal});
  }
  return runs;
}

class StageFusion : public ::testing::TestWithParam<FusionRun> {};

TEST_P(StageFusion, GroupsEmitsAndLands) {
  const FusionCase& c = GetParam().c;
  const FusedGraph f = fuse(c.keys, c.outputs, GetParam().maximal);
  EXPECT_EQ(f.nodes, c.nodes) << describe(f.nodes) << "\nexpected" << describe(c.nodes);
  EXPECT_EQ(f.outputs, c.fused_outputs);
  EXPECT_EQ(f.landing, c.landing);
  EXPECT_EQ(f.stages, c.stages);
  EXPECT_EQ(f.boundary_nodes, c.boundary);
}

INSTANTIATE_TEST_SUITE_P(Cases, StageFusion, ::testing::ValuesIn(fusion_runs()),
                         [](const ::testing::TestParamInfo<FusionRun>& info) {
                           return info.param.c.name + (info.param.maximal ? "_Maximal" : "_SingleUse");
                         });

// A reduction repeats a few tokens over many members: members with one
// token hold one copy of its bytes.
TEST(StageFusionTokens, MembersWithOneTokenShareItsBytes) {
  const FusedGraph f = fuse({src("x"), op("a", {0}), op("a", {1}), op("b", {2}), op("a", {3})}, {4}, false);
  ASSERT_EQ(f.nodes.size(), 2u);
  const std::vector<StageOp>& members = f.nodes[1].members();
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].token, "op|a");
  EXPECT_EQ(members[2].token, "op|b");
  EXPECT_EQ(members[1].token.data(), members[0].token.data());
  EXPECT_EQ(members[3].token.data(), members[0].token.data());
}

TEST(Prototypes, FirstOfferWinsAndUnknownKeysAreInternalErrors) {
  const std::vector<NodeKey> keys = {src("a"), NodeKey::reduction("r", {}, {0}), NodeKey::reduction("r", {}, {1})};
  Prototypes table(keys);
  const egraph::GlobalSymbol r(engine_key(keys[1]));
  table.offer(r, 1);
  table.offer(r, 2);
  EXPECT_EQ(&table.at(r), &keys[1]);
  EXPECT_THROW(table.at(egraph::GlobalSymbol("red|never-offered")), InternalError);
}

}  // namespace
}  // namespace quorvel
