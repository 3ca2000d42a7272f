// Canonical node tokens and labels, and reading op tokens back.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "node/node_key.hpp"
#include "node/parse_op_token.hpp"

namespace quorvel {
namespace {

using V = ParamValue;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

V bits(std::uint64_t b) { return V::floating(std::bit_cast<double>(b)); }

TEST(NodeToken, TokensAndLabelsOfEveryVariant) {
  const ParamMap add({{"side", V::text("r")}, {"scalar", V::floating(0.5)}});
  const ParamMap flag({{"a", V::boolean(true)}});
  const PayloadDescriptor d{"k", "h", "f", "1", "s", std::nullopt};
  PayloadDescriptor with_ref = d, empty_ref = d;
  with_ref.preprocessing_ref = "p";
  empty_ref.preprocessing_ref = "";
  const PayloadDescriptor special{"k|1", "h;2", "f=", "v%", "io", std::nullopt};
  auto stage = [](std::size_t n) { return std::vector<StageOp>(n, StageOp{"op|a", {StageRef::input(0)}}); };
  struct Case {
    NodeKey key;
    std::string token, label;
  };
  const std::vector<Case> cases = {
      {NodeKey::source("a", {}), "src|a", "Source a"},
      {NodeKey::source("a|b", ParamMap({{"x", V::integer(1)}})), "src|a%7Cb|x=i1", "Source a|b {x=1}"},
      {NodeKey::op("add", add, {0, 1}), "op|add|scalar=f3fe0000000000000;side=sr", "Op add {scalar=0.5, side=\"r\"}"},
      {NodeKey::op("add", {}, {0}), "op|add", "Op add"},
      {NodeKey::op("f", ParamMap({{"a=b", V::integer(1)}}), {}), "op|f|a%3Db=i1", "Op f {a=b=1}"},
      {NodeKey::reduction("s;m", ParamMap({{"k", V::integer(2)}}), {0}), "red|s%3Bm|k=i2", "Reduction s;m {k=2}"},
      {NodeKey::external(d, {}, {0}), "ext|k|h|f|1|s|-", "External k:h [f 1]"},
      {NodeKey::external(with_ref, flag, {}), "ext|k|h|f|1|s|p|a=btrue", "External k:h [f 1] {a=true}"},
      {NodeKey::external(empty_ref, {}, {}), "ext|k|h|f|1|s|", "External k:h [f 1]"},
      {NodeKey::external(special, {}, {}), "ext|k|1|h;2|f=|v%|io|-", "External k|1:h;2 [f= v%]"},
      {NodeKey::stage({0, 1}, stage(2)), "stage|2", "Stage[2 members]"},
      {NodeKey::stage({5, 6}, {StageOp{"op|zz", {StageRef::input(1)}}}), "stage|1", "Stage[1 members]"},
      {NodeKey::exchange(ParamMap({{"n", V::integer(4)}}), {0}), "exch|n=i4", "Exchange {n=4}"},
      {NodeKey::join({}, {0, 1}), "join", "Join"},
      {NodeKey::join(ParamMap({{"how", V::text("a\"b")}}), {0, 1}), "join|how=sa\"b", "Join {how=\"a\\\"b\"}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.key.token(), c.token);
    EXPECT_EQ(c.key.label(), c.label);
    // Appending keeps what the buffer held: callers reuse one buffer.
    std::string buffer = "held|";
    c.key.append_token(buffer);
    EXPECT_EQ(buffer, "held|" + c.token);
  }
}

TEST(ParseOpToken, AcceptedTokens) {
  struct Case {
    std::string token, kind, name;
    std::vector<ParamEntry> params;  // in sorted order
  };
  const std::vector<Case> cases = {
      {"op|x", "op", "x", {}},
      {"op|x|", "op", "x", {}},
      {"red|", "red", "", {}},
      {"red|r|b=i2;a=f3ff0000000000000", "red", "r", {{"a", V::floating(1.0)}, {"b", V::integer(2)}}},
      {"op|a%7Cb|k%3D=i1", "op", "a|b", {{"k=", V::integer(1)}}},
      {"op|x|=btrue;b=bfalse", "op", "x", {{"", V::boolean(true)}, {"b", V::boolean(false)}}},
      {"op|x|a=f+3FF0000000000000", "op", "x", {{"a", V::floating(1.0)}}},
      {"op|x|a=f00000000000000001", "op", "x", {{"a", bits(1)}}},
      {"op|x|a=fffffffffffffffff", "op", "x", {{"a", bits(0x7FF8000000000000ULL)}}},
      {"op|x|a=i-9223372036854775808", "op", "x", {{"a", V::integer(kMinInt)}}},
      {"op|x|a=i9223372036854775807", "op", "x", {{"a", V::integer(kMaxInt)}}},
      {"op|x|a=i+5;b=i007;c=i-0", "op", "x", {{"a", V::integer(5)}, {"b", V::integer(7)}, {"c", V::integer(0)}}},
      {"op|x|a=sx%7Cy%25", "op", "x", {{"a", V::text("x|y%")}}},
      {"op|x|a=sx|y", "op", "x", {{"a", V::text("x|y")}}},
      {"op|x|a=s=b", "op", "x", {{"a", V::text("=b")}}},
      {"op|x|b=i1;a=i2;b=i3", "op", "x", {{"a", V::integer(2)}, {"b", V::integer(1)}, {"b", V::integer(3)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    const std::optional<ParsedOpToken> got = parse_op_token(c.token);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->kind, c.kind);
    EXPECT_EQ(got->name, c.name);
    EXPECT_EQ(got->params.entries(), c.params);
  }
}

TEST(ParseOpToken, RejectedTokens) {
  const std::vector<std::string> cases = {
      "", "op", "red", "src|x", "opx|a", "OP|x", "|op|x", "exch", "stage|2",
      "op|x|k", "op|x|a=i1;;b=i2", "op|x|a=i1;", "op|x|;a=i1", "op|x|a=",  // entry shapes
      "op|x|a=q1", "op|x|a=I1", "op|x|a=b", "op|x|a=bTrue", "op|x|a=btruex",  // type letters, bools
      "op|x|a=f", "op|x|a=f+", "op|x|a=f-1", "op|x|a=f0x1", "op|x|a=f 1", "op|x|a=fg",
      "op|x|a=f10000000000000000",  // 17 significant hex digits overflow
      "op|x|a=i", "op|x|a=i-", "op|x|a=i+-1", "op|x|a=i1.0", "op|x|a=i 1",
      "op|x|a=i9223372036854775808", "op|x|a=i-9223372036854775809", "op|x|a=i99999999999999999999",
      "op|x|a=i1|b=i2",  // the rest of the third piece belongs to the value
  };
  for (const std::string& token : cases) EXPECT_FALSE(parse_op_token(token).has_value()) << token;
}

TEST(ParseOpToken, InvertsOpAndReductionTokens) {
  const std::vector<std::string> names = {"", "add", "a|b", "x=y;z", "%7C", "100%", "\xc3\xa9"};
  const std::vector<ParamMap> maps = {
      ParamMap(),
      ParamMap({{"scalar", V::floating(0.0)}, {"side", V::text("r")}}),
      ParamMap({{"n", V::floating(-0.0)}, {"nan", bits(0x7FF0000000000001ULL)}, {"inf", V::floating(-kInf)},
                {"tiny", bits(1)}}),
      ParamMap({{"lo", V::integer(kMinInt)}, {"hi", V::integer(kMaxInt)}, {"b", V::boolean(false)}}),
      ParamMap({{"a=b;c|d%", V::text("v=w;x|y%3B%")}, {"", V::text("")}, {"%25", V::text("|")}}),
      ParamMap({{"k", V::integer(2)}, {"k", V::integer(1)}}),
  };
  for (const std::string& name : names) {
    for (const ParamMap& map : maps) {
      for (const NodeKey& key : {NodeKey::op(name, map, {0}), NodeKey::reduction(name, map, {})}) {
        SCOPED_TRACE(key.token());
        const std::optional<ParsedOpToken> parsed = parse_op_token(key.token());
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->kind, key.kind() == NodeKind::Op ? "op" : "red");
        EXPECT_EQ(parsed->name, name);
        EXPECT_EQ(parsed->params, map);
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
