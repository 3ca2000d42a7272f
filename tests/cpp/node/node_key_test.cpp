// Node identity: every field of every variant takes part in equality, the
// hash agrees with equality, and with_inputs keeps everything but inputs.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "node/node_key.hpp"

namespace quorvel {
namespace {

ParamMap k(std::int64_t v) { return ParamMap({{"k", ParamValue::integer(v)}}); }
ParamMap x(double v) { return ParamMap({{"x", ParamValue::floating(v)}}); }

PayloadDescriptor desc(std::string PayloadDescriptor::*field = nullptr, std::string value = "") {
  PayloadDescriptor d{"k", "h", "f", "1", "s", std::nullopt};
  if (field != nullptr) d.*field = value;
  return d;
}

PayloadDescriptor desc_ref(std::optional<std::string> ref) {
  PayloadDescriptor d = desc();
  d.preprocessing_ref = std::move(ref);
  return d;
}

std::vector<StageOp> members(StageRef second_ref = StageRef::member(0), std::string token = "op|b") {
  return {StageOp{"op|a", {StageRef::input(0)}}, StageOp{std::move(token), {second_ref, StageRef::input(1)}}};
}

struct KeyPair {
  const char* what;
  NodeKey a, b;
  bool equal;
};

std::vector<KeyPair> key_pairs() {
  using N = NodeKey;
  using D = PayloadDescriptor;
  const double nan_a = std::bit_cast<double>(0x7FF8000000000001ULL);
  const double nan_b = std::bit_cast<double>(0xFFF0000000000100ULL);
  const std::vector<StageOp> one_member = {members()[0]};
  const ParamValue one = ParamValue::integer(1), two = ParamValue::integer(2);
  return {
      {"same source", N::source("s", k(1)), N::source("s", k(1)), true},
      {"source name", N::source("s", {}), N::source("t", {}), false},
      {"source params", N::source("s", k(1)), N::source("s", k(2)), false},
      {"source params absent", N::source("s", {}), N::source("s", k(1)), false},
      {"params in any order", N::source("s", ParamMap({{"b", one}, {"a", two}})),
       N::source("s", ParamMap({{"a", two}, {"b", one}})), true},
      {"duplicate names in order", N::source("s", ParamMap({{"a", one}, {"a", two}})),
       N::source("s", ParamMap({{"a", two}, {"a", one}})), false},
      {"param kind", N::source("s", k(1)), N::source("s", ParamMap({{"k", ParamValue::boolean(true)}})), false},
      {"NaN payloads", N::source("s", x(nan_a)), N::source("s", x(nan_b)), true},
      {"signed zeros", N::source("s", x(0.0)), N::source("s", x(-0.0)), false},
      {"same op", N::op("f", k(1), {0, 1}), N::op("f", k(1), {0, 1}), true},
      {"op input order", N::op("f", {}, {0, 1}), N::op("f", {}, {1, 0}), false},
      {"op repeated input", N::op("f", {}, {0}), N::op("f", {}, {0, 0}), false},
      {"op without inputs", N::op("f", {}, {}), N::op("f", {}, {0}), false},
      {"op name", N::op("f", {}, {0}), N::op("g", {}, {0}), false},
      {"op vs reduction", N::op("f", {}, {0}), N::reduction("f", {}, {0}), false},
      {"op vs source", N::op("s", {}, {}), N::source("s", {}), false},
      {"same reduction", N::reduction("r", k(3), {2}), N::reduction("r", k(3), {2}), true},
      {"same external", N::external(desc(), k(1), {0}), N::external(desc(), k(1), {0}), true},
      {"external kind", N::external(desc(), {}, {}), N::external(desc(&D::kind, "K"), {}, {}), false},
      {"external hash", N::external(desc(), {}, {}), N::external(desc(&D::content_hash, "H"), {}, {}), false},
      {"external framework", N::external(desc(), {}, {}), N::external(desc(&D::framework, "F"), {}, {}), false},
      {"external version", N::external(desc(), {}, {}), N::external(desc(&D::version, "2"), {}, {}), false},
      {"external io_schema", N::external(desc(), {}, {}), N::external(desc(&D::io_schema, "S"), {}, {}), false},
      {"ref absent vs empty", N::external(desc(), {}, {}), N::external(desc_ref(""), {}, {}), false},
      {"ref values", N::external(desc_ref("a"), {}, {}), N::external(desc_ref("b"), {}, {}), false},
      {"ref equal", N::external(desc_ref("a"), {}, {}), N::external(desc_ref("a"), {}, {}), true},
      {"external params", N::external(desc(), k(1), {0}), N::external(desc(), k(2), {0}), false},
      {"external inputs", N::external(desc(), {}, {0}), N::external(desc(), {}, {1}), false},
      {"same stage", N::stage({0, 1}, members()), N::stage({0, 1}, members()), true},
      {"stage inputs", N::stage({0, 1}, members()), N::stage({1, 0}, members()), false},
      {"member token", N::stage({0, 1}, members()), N::stage({0, 1}, members(StageRef::member(0), "op|c")), false},
      {"ref case", N::stage({0, 1}, members()), N::stage({0, 1}, members(StageRef::input(0))), false},
      {"ref index", N::stage({0, 1}, members()), N::stage({0, 1}, members(StageRef::member(1))), false},
      {"member count", N::stage({0, 1}, members()), N::stage({0, 1}, one_member), false},
      {"same exchange", N::exchange(k(1), {0}), N::exchange(k(1), {0}), true},
      {"exchange scheme", N::exchange(k(1), {0}), N::exchange(k(2), {0}), false},
      {"exchange vs join", N::exchange({}, {0, 1}), N::join({}, {0, 1}), false},
      {"join sides", N::join({}, {0, 1}), N::join({}, {1, 0}), false},
      {"same join", N::join(k(1), {0, 1}), N::join(k(1), {0, 1}), true},
      // Keys held inside the object and keys with a part on the heap.
      {"names of 7 and 8 bytes", N::op(std::string(7, 'n'), {}, {0}), N::op(std::string(8, 'n'), {}, {0}), false},
      {"a name and the same with a zero byte", N::op("ab", {}, {0}), N::op(std::string("ab\0", 3), {}, {0}), false},
      {"names of 14 and 15 bytes", N::op(std::string(14, 'n'), {}, {0}), N::op(std::string(15, 'n'), {}, {0}), false},
      {"same long name", N::op(std::string(15, 'n'), k(1), {0}), N::op(std::string(15, 'n'), k(1), {0}), true},
      {"third input", N::op("f", {}, {0, 1, 2}), N::op("f", {}, {0, 1, 3}), false},
      {"last byte of a full inline map", N::source("s", ParamMap({{"t", ParamValue::text(std::string(20, 'a') + "x")}})),
       N::source("s", ParamMap({{"t", ParamValue::text(std::string(20, 'a') + "y")}})), false},
      {"three and four inputs", N::op("f", {}, {0, 1, 2}), N::op("f", {}, {0, 1, 2, 2}), false},
      {"same four inputs", N::op("f", {}, {0, 1, 2, 3}), N::op("f", {}, {0, 1, 2, 3}), true},
      {"the largest ids", N::op("f", {}, {kNoNode - 1}), N::op("f", {}, {kNoNode - 2}), false},
      {"wide ids", N::op("f", {}, {std::uint64_t{1} << 40}), N::op("f", {}, {std::uint64_t{1} << 41}), false},
      {"long params", N::source("s", ParamMap({{"t", ParamValue::text(std::string(40, 'a'))}})),
       N::source("s", ParamMap({{"t", ParamValue::text(std::string(40, 'b'))}})), false},
      {"same long params", N::source("s", ParamMap({{"t", ParamValue::text(std::string(40, 'a'))}})),
       N::source("s", ParamMap({{"t", ParamValue::text(std::string(40, 'a'))}})), true},
  };
}

TEST(NodeKey, EveryFieldTakesPartInIdentity) {
  for (const KeyPair& c : key_pairs()) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    // Equal keys hash alike; unequal ones, whatever form each is hashed in,
    // feed different words, which collide only by a chance of 2^-64.
    EXPECT_EQ(c.a.hash(HashKey{}) == c.b.hash(HashKey{}), c.equal);
    EXPECT_EQ(c.a.hash(HashKey{0xDEADBEEF, 7}) == c.b.hash(HashKey{0xDEADBEEF, 7}), c.equal);
    // Copies (by construction and by assignment) are equal and independent.
    const NodeKey copy = c.a;
    NodeKey assigned = NodeKey::source("other", {});
    assigned = c.b;
    EXPECT_EQ(copy, c.a);
    EXPECT_EQ(assigned == copy, c.equal);
  }
}

// External and Stage keys keep their extra part where other keys keep their
// name: copies, moves and assignments from any kind into any other must
// carry the right one and free the one replaced (ASan reports a leak or a
// double free).
TEST(NodeKey, KeysOfEveryKindCopyMoveAndAssignIntoOneAnother) {
  const std::vector<NodeKey> keys = {
      NodeKey::source("s", k(1)),
      NodeKey::op(std::string(40, 'o'), k(1), {0, 1, 2, 3}),
      NodeKey::op("short", {}, {0}),
      NodeKey::reduction("r", k(2), {0}),
      NodeKey::external(desc_ref("p"), k(3), {1}),
      NodeKey::stage({0, 1}, members()),
      NodeKey::exchange(k(4), {0}),
  };
  for (const NodeKey& a : keys) {
    for (const NodeKey& b : keys) {
      SCOPED_TRACE(a.token() + " <- " + b.token());
      NodeKey copied = a;
      copied = b;
      EXPECT_EQ(copied, b);
      EXPECT_EQ(copied.name(), b.name());
      NodeKey moved_into = a;
      moved_into = NodeKey(b);
      EXPECT_EQ(moved_into, b);
      NodeKey taken(std::move(moved_into));
      EXPECT_EQ(taken, b);
      EXPECT_EQ(taken.token(), b.token());
      moved_into = a;  // a key moved from takes a new value
      EXPECT_EQ(moved_into, a);
    }
  }
  EXPECT_EQ(keys[4].name(), "");
  EXPECT_EQ(keys[5].name(), "");
  EXPECT_EQ(keys[1].name(), std::string(40, 'o'));
}

TEST(NodeKey, WithInputsReplacesOnlyTheInputs) {
  const NodeIds fresh = {7, 7, 3};
  const std::vector<NodeKey> keys = {
      NodeKey::op("f", k(1), {0, 1}),          NodeKey::reduction("r", k(2), {0}),
      NodeKey::external(desc_ref("p"), k(3), {1}), NodeKey::stage({0, 1}, members()),
      NodeKey::exchange(k(4), {0}),            NodeKey::join(k(5), {0, 1}),
  };
  for (const NodeKey& key : keys) {
    SCOPED_TRACE(key.token());
    const NodeKey moved = key.with_inputs(fresh);
    EXPECT_EQ(moved.kind(), key.kind());
    EXPECT_EQ(moved.inputs().to_vector(), fresh);
    EXPECT_EQ(moved.token(), key.token());
    EXPECT_EQ(moved.label(), key.label());
    EXPECT_EQ(moved.params(), key.params());
    if (key.kind() == NodeKind::External) {
      EXPECT_EQ(moved.descriptor(), key.descriptor());
    }
    if (key.kind() == NodeKind::Stage) {
      EXPECT_EQ(moved.members(), key.members());
    }
    EXPECT_EQ(moved.with_inputs(key.inputs()), key);
  }
  // A Source never has inputs, whatever list it is given.
  const NodeKey source = NodeKey::source("s", k(1));
  EXPECT_TRUE(source.with_inputs({1, 2, 3}).inputs().empty());
  EXPECT_EQ(source.with_inputs({1, 2, 3}), source);
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// Inputs live inline up to three ids and on the heap beyond, and so does a
// list holding one of the two ids an inline list marks its words with;
// copies, moves and swaps must keep the ids and leave no shared storage
// behind.
std::vector<NodeIds> input_lists() {
  const NodeId none = kNoNode;
  const NodeId mark = kNoNode - 1;
  return {NodeIds{},          NodeIds{7},       NodeIds{1, 2},    NodeIds{1, 2, 3},       NodeIds{5, 5, 5, 5, 5},
          NodeIds{none},      NodeIds{mark},    NodeIds{0, none}, NodeIds{mark, 1, none}, NodeIds{mark - 1, 0},
          NodeIds{none, none}, NodeIds{1, mark}};
}

TEST(NodeInputs, InlineAndHeapListsCopyMoveAndCompare) {
  for (const NodeIds& ids : input_lists()) {
    SCOPED_TRACE(ids.size());
    NodeInputs inputs(ids);
    EXPECT_EQ(inputs.to_vector(), ids);
    NodeInputs copy = inputs;
    NodeInputs moved = std::move(inputs);
    EXPECT_TRUE(inputs.empty());
    EXPECT_EQ(copy, moved);
    EXPECT_TRUE(moved == ids);
    NodeInputs other{9};
    other = copy;
    EXPECT_EQ(other.to_vector(), ids);
    copy = NodeInputs{4, 3, 2};
    EXPECT_EQ(copy.to_vector(), (NodeIds{4, 3, 2}));
    EXPECT_EQ(other.to_vector(), ids);
  }
  EXPECT_FALSE(NodeInputs({1, 2}) == NodeInputs({2, 1}));
  EXPECT_FALSE(NodeInputs({1, 2}) == NodeInputs({1, 2, 2}));
}

TEST(NodeInputs, EqualExactlyWhenTheIdsAre) {
  const std::vector<NodeIds> lists = input_lists();
  for (const NodeIds& a : lists) {
    for (const NodeIds& b : lists) {
      const NodeInputs x(a);
      EXPECT_EQ(x == NodeInputs(b), a == b) << testing::PrintToString(a) << " " << testing::PrintToString(b);
      EXPECT_EQ(x == b, a == b);
      EXPECT_EQ(x.size(), a.size());
      EXPECT_EQ(x.empty(), a.empty());
    }
  }
}

}  // namespace
}  // namespace quorvel
