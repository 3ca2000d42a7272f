#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "egraph/machine.hpp"
#include "egraph/pattern.hpp"
#include "egraph_test_support.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {
namespace {

using testing::leaf;
using testing::match_count;
using testing::node;
using testing::pattern;
using testing::sym;

Subst subst_of(std::initializer_list<std::pair<const char*, Id>> bindings) {
  Subst s;
  for (const auto& [var, id] : bindings) s.insert(sym(var), id);
  return s;
}

TEST(EMatch, CommuteSearcherMatchesOnlyTwoInputAddWithoutParameters) {
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id add = node(g, "op|add", {x, y});
  node(g, "op|add", {x});
  node(g, "op|add", {x, y, x});
  node(g, "op|add|scalar=f0000000000000000;side=sr", {x, y});
  node(g, "op|mul", {x, y});
  g.rebuild();
  const SearchResults results = pattern("(op|add ?a ?b)").search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].eclass, add);
  ASSERT_EQ(results[0].substs.size(), 1u);
  EXPECT_EQ(results[0].substs[0], subst_of({{"?a", x}, {"?b", y}}));
}

TEST(EMatch, ClassHoldingBothArgumentOrdersYieldsTwoSubstitutions) {
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id xy = node(g, "op|add", {x, y});
  const Id yx = node(g, "op|add", {y, x});
  g.union_(xy, yx);
  g.rebuild();
  const SearchResults results = pattern("(op|add ?a ?b)").search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].substs.size(), 2u);
}

TEST(EMatch, RepeatedVariableNeedsOneClass) {
  EGraph g;
  const Id x = leaf(g, "x");
  const Id y = leaf(g, "y");
  const Id fxy = node(g, "f", {x, y});
  const Id fxx = node(g, "f", {x, x});
  g.rebuild();
  const Pattern p = pattern("(f ?a ?a)");
  SearchResults results = p.search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].eclass, fxx);
  g.union_(x, y);
  g.rebuild();
  // f(x, y) is now f(x, x): congruent with the other, one class, one node.
  results = p.search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].eclass, g.find(fxy));
  EXPECT_EQ(match_count(results), 1u);
}

TEST(EMatch, GroundSubTermsAreCheckedByLookup) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  const Id ga = node(g, "g", {a});
  const Id gb = node(g, "g", {b});
  const Id hit = node(g, "f", {b, ga});
  const Id fbgb = node(g, "f", {b, gb});
  const Id same = node(g, "f", {a, ga});
  g.rebuild();

  const Pattern ground = pattern("(f ?x (g a))");
  bool has_lookup = false;
  for (const Instruction& instruction : ground.program().instructions) {
    has_lookup |= instruction.kind == Instruction::Kind::Lookup;
  }
  EXPECT_TRUE(has_lookup);
  SearchResults results = ground.search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].eclass, hit);
  EXPECT_EQ(results[1].eclass, same);

  // (g ?x) is ground once ?x is bound: f(b, g(b)) and f(a, g(a)) qualify,
  // f(b, g(a)) does not.
  results = pattern("(f ?x (g ?x))").search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].eclass, fbgb);
  EXPECT_EQ(results[1].eclass, same);

  // A ground pattern root is a single Lookup.
  results = pattern("(g b)").search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].eclass, gb);
  EXPECT_TRUE(pattern("(g c)").search_with_limit(g, 100).empty());
}

TEST(EMatch, SearchLimitStopsExactly) {
  EGraph g;
  const Id x = leaf(g, "x");
  for (int i = 0; i < 10; ++i) node(g, "f", {x, leaf(g, testing::numbered("y", i))});
  g.rebuild();
  const Pattern p = pattern("(f ?a ?b)");
  for (std::size_t limit : {0u, 1u, 3u, 10u, 11u, 1000u}) {
    const SearchResults results = p.search_with_limit(g, limit);
    EXPECT_EQ(match_count(results), std::min<std::size_t>(limit, 10)) << limit;
  }
  EXPECT_FALSE(p.search_eclass_with_limit(g, x, 5).has_value());
}

TEST(EMatch, CandidatesAreVisitedInAscendingIdOrderAfterMerges) {
  EGraph g;
  std::vector<Id> fs;
  for (int i = 0; i < 8; ++i) fs.push_back(node(g, i % 2 == 0 ? "f" : "g", {leaf(g, testing::numbered("z", i))}));
  // Merge an f class into g classes; the winners must be found for (f ?x).
  g.union_(fs[7], fs[0]);
  g.union_(fs[5], fs[2]);
  g.rebuild();
  const SearchResults results = pattern("(f ?x)").search_with_limit(g, 100);
  ASSERT_EQ(results.size(), 4u);
  for (std::size_t k = 1; k < results.size(); ++k) EXPECT_LT(results[k - 1].eclass, results[k].eclass);
  for (std::size_t k = 0; k < results.size(); ++k) EXPECT_EQ(g.find(results[k].eclass), results[k].eclass);
}

// One operator over distinct variables is searched without the matching
// machine; it finds what the machine finds, class by class in the same
// order, at every limit. Patterns the machine must run (a repeated
// variable, a nested node) are checked alike.
TEST(EMatch, FlatPatternsMatchExactlyAsTheMachineDoes) {
  std::mt19937_64 rng(5);
  const char* const ops[] = {"f", "g", "h"};
  for (int round = 0; round < 20; ++round) {
    EGraph g;
    std::vector<Id> ids = {leaf(g, "x"), leaf(g, "y")};
    for (int k = 0; k < 60; ++k) {
      std::vector<Id> children;
      for (std::size_t c = rng() % 4; c > 0; --c) children.push_back(ids[rng() % ids.size()]);
      ids.push_back(g.add(SymbolLang(sym(ops[rng() % 3]), children)));
    }
    for (int k = 0; k < 15; ++k) g.union_(ids[rng() % ids.size()], ids[rng() % ids.size()]);
    g.rebuild();
    for (const char* text : {"(f ?a ?b)", "(g ?a)", "(h ?c ?a ?b)", "f", "(f ?a ?a)", "(g (f ?a ?b))"}) {
      const Pattern p = pattern(text);
      for (std::size_t limit : {1u, 2u, 7u, 1000u}) {
        const SearchResults got = p.search_with_limit(g, limit);
        Machine machine;
        std::vector<Subst> substs;
        std::vector<Id> classes;
        std::size_t remaining = limit;
        for (Id id = 0; id < g.number_of_ids() && remaining != 0; ++id) {
          if (g.class_if_root(id) == nullptr) continue;
          const std::size_t n = machine.run(g, p.program(), id, remaining, substs);
          if (n != 0) classes.push_back(id);
          remaining -= n;
        }
        ASSERT_EQ(got.size(), classes.size()) << text << " limit " << limit;
        for (std::size_t k = 0; k < classes.size(); ++k) EXPECT_EQ(got[k].eclass, classes[k]) << text;
        ASSERT_EQ(got.total_substs(), substs.size()) << text << " limit " << limit;
        for (std::size_t k = 0; k < substs.size(); ++k) EXPECT_EQ(got.all_substs()[k], substs[k]) << text;
      }
    }
  }
}

TEST(EMatch, VariableRootMatchesEveryClass) {
  EGraph g;
  const Id a = leaf(g, "a");
  node(g, "f", {a});
  node(g, "g", {a});
  g.rebuild();
  EXPECT_EQ(pattern("?v").search_with_limit(g, 100).size(), 3u);
}

TEST(EMatch, ScanInstructionVisitsEveryClass) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  node(g, "f", {a});
  g.union_(a, b);
  g.rebuild();
  Program program;
  program.instructions.push_back(Instruction::scan(1));
  program.subst_layout.emplace_back(sym("?any"), 1);
  Machine machine;
  std::vector<Subst> out;
  EXPECT_EQ(machine.run(g, program, a, 100, out), 2u);
  EXPECT_EQ(machine.run(g, program, a, 1, out), 1u);
}

TEST(EMatch, SearchingADirtyEGraphIsAnInternalError) {
  EGraph g;
  node(g, "f", {leaf(g, "a")});
  try {
    pattern("(f ?x)").search_with_limit(g, 10);
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_NE(std::string(error.what()).find("Tried to search a dirty e-graph!"), std::string::npos);
  }
}

TEST(EMatch, DeepPatternMatchesDeepChain) {
  constexpr int kDepth = 100000;
  EGraph g;
  const Id bottom = leaf(g, "x");
  Id chain = bottom;
  Id below_top = bottom;
  for (int i = 0; i < kDepth; ++i) {
    below_top = chain;
    chain = node(g, "t", {chain});
  }
  const Id deep = node(g, "s", {chain});
  node(g, "s", {below_top});  // one level short: no match
  g.rebuild();
  std::string text = "(s ";
  for (int i = 0; i < kDepth; ++i) text += "(t ";
  text += "?v";
  text.append(kDepth + 1, ')');
  const SearchResults results = pattern(text).search_with_limit(g, 10);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].eclass, deep);
  EXPECT_EQ(results[0].substs[0].get(sym("?v")), bottom);
}

}  // namespace
}  // namespace quorvel::egraph
