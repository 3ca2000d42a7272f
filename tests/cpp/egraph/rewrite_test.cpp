#include <gtest/gtest.h>

#include <string>

#include "egraph/rewrite.hpp"
#include "egraph_test_support.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {
namespace {

using testing::leaf;
using testing::node;
using testing::pattern;
using testing::rule;
using testing::sym;

TEST(Rewrite, ApplierVariableMissingFromSearcherIsRejectedWithItsText) {
  auto made = Rewrite::make("mix", pattern("(f ?a ?b)"), pattern("(g ?a ?c)"));
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error(), "Rewrite mix refers to unbound var ?c");
  EXPECT_TRUE(Rewrite::make("fine", pattern("(f ?a ?b)"), pattern("(g ?b ?a ?a)")).ok());
}

TEST(Rewrite, CommuteAddsTheSwappedNodeAndMergesIt) {
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id xy = node(g, "op|add", {x, y});
  g.rebuild();
  const Rewrite commute = rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  const std::vector<Id> merged = commute.apply(g, commute.search_with_limit(g, 100));
  ASSERT_EQ(merged.size(), 1u);
  g.rebuild();
  EXPECT_EQ(g.lookup(SymbolLang(sym("op|add"), {y, x})), g.find(xy));
  EXPECT_EQ(g.eclass(xy).nodes.size(), 2u);

  // Applying again: both orders exist in the class, nothing merges.
  const SearchResults again = commute.search_with_limit(g, 100);
  EXPECT_EQ(again.total_substs(), 2u);
  const std::size_t size = g.total_size();
  EXPECT_TRUE(commute.apply(g, again).empty());
  EXPECT_EQ(g.total_size(), size);
}

TEST(Rewrite, AfterAMergeInTheSamePassTheMemoDecidesAndTheRenamedNodesAreBuilt) {
  // The class of (f x y) holds both orders. Merging x into z (z has more
  // parents, so it survives) before the pass leaves that class's list naming
  // x; instantiations now name z, which the memo has not seen yet, so both
  // are built and merged, exactly as with no shortcut at all.
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id z = leaf(g, "z");
  for (const char* op : {"g", "h", "k"}) node(g, op, {z});
  const Id xy = node(g, "f", {x, y});
  g.rebuild();
  const Rewrite commute = rule("commute-f", "(f ?a ?b)", "(f ?b ?a)");
  ASSERT_EQ(commute.apply(g, commute.search_with_limit(g, 100)).size(), 1u);
  g.rebuild();
  const SearchResults again = commute.search_with_limit(g, 100);
  ASSERT_EQ(again.total_substs(), 2u);
  ASSERT_TRUE(g.union_(x, z));
  ASSERT_EQ(g.find(x), z);
  const std::size_t size = g.total_size();
  EXPECT_EQ(commute.apply(g, again).size(), 2u);
  EXPECT_EQ(g.total_size(), size + 2);
  g.rebuild();
  EXPECT_EQ(g.lookup(SymbolLang(sym("f"), {z, y})), g.find(xy));
  EXPECT_EQ(g.lookup(SymbolLang(sym("f"), {y, z})), g.find(xy));
}

TEST(Rewrite, IdentityMergesTheNodeWithItsInputAndCongruenceFollows) {
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id plus_zero = node(g, "op|add|scalar=f0000000000000000;side=sr", {x});
  const Id top1 = node(g, "op|maximum", {x, y});
  const Id top2 = node(g, "op|maximum", {plus_zero, y});
  g.rebuild();
  const Rewrite identity = rule("identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x");
  const std::vector<Id> merged = identity.apply(g, identity.search_with_limit(g, 100));
  // A lone-variable applier adds nothing and yields the variable's class.
  EXPECT_EQ(merged, std::vector<Id>{x});
  EXPECT_EQ(g.total_size(), 5u);
  g.rebuild();
  EXPECT_EQ(g.find(plus_zero), g.find(x));
  EXPECT_EQ(g.find(top1), g.find(top2));
}

TEST(Rewrite, ApplierWithNestedTermsInstantiatesBottomUp) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  const Id f = node(g, "f", {a, b});
  g.rebuild();
  const Rewrite r = rule("nest", "(f ?x ?y)", "(g (h ?y) ?x)");
  EXPECT_EQ(r.apply(g, r.search_with_limit(g, 10)).size(), 1u);
  g.rebuild();
  const auto h = g.lookup(SymbolLang(sym("h"), {b}));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(g.lookup(SymbolLang(sym("g"), {*h, a})), g.find(f));
}

TEST(Rewrite, InstantiatingWithAMissingVariableIsAnInternalError) {
  EGraph g;
  const Pattern applier = pattern("(g ?q)");
  std::vector<Id> buffer;
  EXPECT_THROW(applier.apply_pat(g, Subst(), buffer), InternalError);
}

TEST(Subst, InsertReplacesAndSpillsBeyondThreeBindings) {
  Subst s;
  for (int i = 0; i < 6; ++i) s.insert(sym(testing::numbered("?v", i)), static_cast<Id>(i));
  s.insert(sym("?v1"), 42);
  EXPECT_EQ(s.size(), 6u);
  EXPECT_EQ(s.get(sym("?v1")), 42u);
  EXPECT_EQ(s.get(sym("?v5")), 5u);
  EXPECT_FALSE(s.get(sym("?none")).has_value());
  const Subst copy = s;
  EXPECT_EQ(copy, s);
}

}  // namespace
}  // namespace quorvel::egraph
