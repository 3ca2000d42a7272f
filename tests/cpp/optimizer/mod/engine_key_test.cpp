// Engine keys: the token where it holds a node's whole content, the whole
// content (inputs apart) for stages and externals, and never an op-looking
// text for a non-op node.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "egraph/symbol_table.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

PayloadDescriptor desc(std::string kind, std::string hash, std::optional<std::string> ref = std::nullopt,
                       std::string io_schema = "io") {
  return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1.0", std::move(io_schema), std::move(ref)};
}

TEST(EngineKey, TokenWhereTheTokenHoldsEverything) {
  const ParamMap params({{"k", ParamValue::integer(2)}, {"s", ParamValue::text("a|b;c=d%")}});
  const std::vector<NodeKey> keys = {
      NodeKey::source("tbl", {}),       NodeKey::source("op|x", params),   NodeKey::op("add", {}, {0, 1}),
      NodeKey::op("a|b", params, {0}),  NodeKey::reduction("sum", params, {3}), NodeKey::reduction("", {}, {}),
      NodeKey::exchange({}, {1}),       NodeKey::exchange(params, {1, 1}), NodeKey::join({}, {0, 1}),
      NodeKey::join(params, {1, 0}),
  };
  for (const NodeKey& key : keys) EXPECT_EQ(engine_key(key), key.token()) << key.label();
}

TEST(EngineKey, OnlyOpKeysLookLikeOps) {
  const std::vector<NodeKey> keys = {
      NodeKey::source("op|x", {}),
      NodeKey::reduction("op|x", {}, {0}),
      NodeKey::external(desc("op", "x"), {}, {0}),
      NodeKey::stage({0}, {member("op|f", {in(0)})}),
      NodeKey::stage({}, {}),
      NodeKey::exchange({}, {0}),
      NodeKey::join({}, {0, 1}),
  };
  for (const NodeKey& key : keys) {
    const std::string k = engine_key(key);
    EXPECT_NE(k.rfind("op|", 0), 0u) << k;
    // The pipeline appends keys to one reused buffer; what it held stays.
    std::string buffer = "held";
    append_engine_key(key, buffer);
    EXPECT_EQ(buffer, "held" + k);
  }
  EXPECT_EQ(engine_key(NodeKey::op("f", {}, {0})).rfind("op|", 0), 0u);
  EXPECT_EQ(engine_key(NodeKey::op("", {}, {})), "op|");
}

// The head written apart is the head of the whole key, names with bars and
// percent signs included; kinds without one write nothing.
TEST(EngineKey, HeadWrittenApartIsTheKeysHead) {
  const ParamMap params({{"k", ParamValue::integer(2)}, {"s", ParamValue::text("a|b")}});
  const std::vector<NodeKey> with_head = {
      NodeKey::source("tbl", {}),  NodeKey::source("op|x", params), NodeKey::op("add", {}, {0, 1}),
      NodeKey::op("a|b%", params, {0}), NodeKey::op("", {}, {}),  NodeKey::reduction("sum", params, {3}),
  };
  for (const NodeKey& key : with_head) {
    std::string head = "held";
    ASSERT_TRUE(append_engine_key_head(key, head)) << key.label();
    EXPECT_EQ(head, "held" + std::string(egraph::SymbolTable::head_of(engine_key(key)))) << key.label();
  }
  const std::vector<NodeKey> without = {NodeKey::exchange(params, {1}), NodeKey::join({}, {0, 1}),
                                        NodeKey::external(desc("op", "x"), {}, {0}),
                                        NodeKey::stage({0}, {member("op|f", {in(0)})})};
  for (const NodeKey& key : without) {
    std::string head;
    EXPECT_FALSE(append_engine_key_head(key, head)) << key.label();
    EXPECT_EQ(head, "");
  }
}

struct KeyPair {
  const char* what;
  NodeKey a, b;
};

// Pairs that differ in content (not only in inputs), several of which share
// a token.
std::vector<KeyPair> distinct_pairs() {
  using N = NodeKey;
  return {
      {"stage members", N::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0)})}),
       N::stage({0}, {member("op|f", {in(0)}), member("op|h", {mem(0)})})},
      {"stage member order", N::stage({0}, {member("op|f", {in(0)}), member("op|g", {in(0)})}),
       N::stage({0}, {member("op|g", {in(0)}), member("op|f", {in(0)})})},
      {"stage ref kind", N::stage({0, 1}, {member("op|f", {in(0)}), member("op|g", {in(1)})}),
       N::stage({0, 1}, {member("op|f", {in(0)}), member("op|g", {mem(1)})})},
      {"stage ref index", N::stage({0, 1}, {member("op|f", {in(0)}), member("op|g", {in(0)})}),
       N::stage({0, 1}, {member("op|f", {in(0)}), member("op|g", {in(1)})})},
      {"stage ref count", N::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0)})}),
       N::stage({0}, {member("op|f", {in(0)}), member("op|g", {mem(0), mem(0)})})},
      {"stage refs moved between members", N::stage({0}, {member("op|f", {in(0)}), member("op|g", {})}),
       N::stage({0}, {member("op|f", {}), member("op|g", {in(0)})})},
      {"stage token boundary", N::stage({}, {member("op|ab", {}), member("op|c", {})}),
       N::stage({}, {member("op|a", {}), member("op|bc", {})})},
      {"stage huge ref index", N::stage({0}, {member("op|f", {in(0)})}),
       N::stage({0}, {member("op|f", {in(0xFFFFFFFFU)})})},
      {"stage member count", N::stage({0}, {member("op|f", {in(0)})}),
       N::stage({0}, {member("op|f", {in(0)}), member("op|f", {mem(0)})})},
      {"external ref dash vs absent", N::external(desc("k", "h", "-"), {}, {0}),
       N::external(desc("k", "h", std::nullopt), {}, {0})},
      {"external ref empty vs absent", N::external(desc("k", "h", ""), {}, {0}),
       N::external(desc("k", "h", std::nullopt), {}, {0})},
      {"external kind and hash boundary", N::external(desc("a|b", "c"), {}, {0}),
       N::external(desc("a", "b|c"), {}, {0})},
      {"external schema and ref boundary", N::external(desc("k", "h", std::nullopt, "s|r"), {}, {0}),
       N::external(desc("k", "h", "r|-", "s"), {}, {0})},
      {"external ref and params boundary",
       N::external(desc("k", "h", std::nullopt), ParamMap({{"k", ParamValue::integer(1)}}), {0}),
       N::external(desc("k", "h", "-|k=i1"), {}, {0})},
      {"external framework", N::external(PayloadDescriptor{"k", "h", "a", "1", "io", std::nullopt}, {}, {0}),
       N::external(PayloadDescriptor{"k", "h", "b", "1", "io", std::nullopt}, {}, {0})},
      {"external params", N::external(desc("k", "h"), ParamMap({{"k", ParamValue::integer(1)}}), {0}),
       N::external(desc("k", "h"), ParamMap({{"k", ParamValue::integer(2)}}), {0})},
      {"stage vs op", N::stage({0}, {member("op|f", {in(0)})}), N::op("f", {}, {0})},
      {"external vs source", N::external(desc("k", "h"), {}, {}), N::source("k", {})},
  };
}

TEST(EngineKey, DifferentContentGivesDifferentKeys) {
  for (const KeyPair& p : distinct_pairs()) {
    ASSERT_FALSE(p.a == p.b) << p.what;
    EXPECT_NE(engine_key(p.a), engine_key(p.b)) << p.what;
  }
  // The pairs that motivate the longer key: their tokens do collide.
  for (const char* what : {"stage members", "external ref dash vs absent", "external kind and hash boundary",
                           "external schema and ref boundary", "external ref and params boundary"}) {
    for (const KeyPair& p : distinct_pairs()) {
      if (std::string(p.what) == what) {
        EXPECT_EQ(p.a.token(), p.b.token()) << what;
      }
    }
  }
}

TEST(EngineKey, EqualContentGivesEqualKeysWhateverTheInputs) {
  const std::vector<StageOp> members = {member("op|f", {in(0)}), member("op|g|k=i1", {mem(0), in(1)})};
  EXPECT_EQ(engine_key(NodeKey::stage({0, 1}, members)), engine_key(NodeKey::stage({0, 1}, members)));
  EXPECT_EQ(engine_key(NodeKey::stage({0, 1}, members)), engine_key(NodeKey::stage({7, 3, 3}, members)));
  const NodeKey ext = NodeKey::external(desc("a|b", "c", "-"), ParamMap({{"k", ParamValue::integer(1)}}), {0});
  EXPECT_EQ(engine_key(ext), engine_key(ext.with_inputs({4, 5})));
  EXPECT_EQ(engine_key(NodeKey::op("f", {}, {0})), engine_key(NodeKey::op("f", {}, {2, 1})));
}

// The pipeline numbers one key per operator (operator_symbols.hpp): that is
// exact only if nodes share a key exactly when they are the same operator,
// and the same operator always hashes alike.
TEST(EngineKey, SameOperatorExactlyWhenSameKey) {
  std::vector<NodeKey> keys;
  for (const KeyPair& p : distinct_pairs()) {
    for (const NodeKey* k : {&p.a, &p.b}) {
      keys.push_back(*k);
      keys.push_back(k->with_inputs({9, 9}));
    }
  }
  const ParamMap params({{"k", ParamValue::integer(2)}, {"x", ParamValue::floating(0.0)}});
  const ParamMap negative_zero({{"k", ParamValue::integer(2)}, {"x", ParamValue::floating(-0.0)}});
  for (const NodeKey& k : {NodeKey::op("f", params, {0}), NodeKey::op("f", negative_zero, {0}),
                           NodeKey::op("f", params, {1, 0}), NodeKey::reduction("f", params, {0}),
                           NodeKey::source("f", params), NodeKey::op("g", params, {0}), NodeKey::exchange(params, {0}),
                           NodeKey::join(params, {0}), NodeKey::op("f", {}, {0})}) {
    keys.push_back(k);
  }
  const HashKey hash_key = fresh_hash_key();
  for (const NodeKey& a : keys) {
    for (const NodeKey& b : keys) {
      const bool same = same_operator(a, b);
      EXPECT_EQ(same, engine_key(a) == engine_key(b)) << a.label() << " / " << b.label();
      if (same) {
        EXPECT_EQ(a.operator_hash(hash_key), b.operator_hash(hash_key)) << a.label();
      }
      // Equal keys are the same operator over the same inputs.
      EXPECT_EQ(a == b, same && a.inputs() == b.inputs()) << a.label() << " / " << b.label();
    }
  }
}

}  // namespace
}  // namespace quorvel
