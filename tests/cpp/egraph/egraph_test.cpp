#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph_test_support.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {
namespace {

using testing::leaf;
using testing::node;
using testing::sym;

TEST(EGraph, AddingTheSameNodeTwiceFindsTheFirst) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id f1 = node(g, "f", {a, a});
  const Id f2 = node(g, "f", {a, a});
  EXPECT_EQ(f1, f2);
  EXPECT_EQ(g.total_size(), 2u);
  EXPECT_EQ(g.number_of_classes(), 2u);
  EXPECT_FALSE(g.is_clean());
  g.rebuild();
  EXPECT_TRUE(g.is_clean());
}

TEST(EGraph, CongruenceAfterMergeLeavesOneNodeAndAStaleMemoEntry) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  const Id fa = node(g, "f", {a});
  const Id fb = node(g, "f", {b});
  EXPECT_EQ(g.total_size(), 4u);
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.eclass(fa).nodes.size(), 1u);
  EXPECT_EQ(g.number_of_classes(), 2u);
  // f(a) and f(b) canonicalize to the same node; the other entry stays.
  EXPECT_EQ(g.total_size(), 4u);
}

TEST(EGraph, CongruencePropagatesUpLongChainsWithoutRecursion) {
  EGraph g;
  constexpr int kDepth = 200000;
  Id x = leaf(g, "x");
  Id y = leaf(g, "y");
  const Id bottom_x = x;
  const Id bottom_y = y;
  for (int i = 0; i < kDepth; ++i) {
    x = node(g, "s", {x});
    y = node(g, "s", {y});
  }
  g.rebuild();
  EXPECT_NE(g.find(x), g.find(y));
  g.union_(bottom_x, bottom_y);
  EXPECT_EQ(g.rebuild(), static_cast<std::size_t>(kDepth));
  EXPECT_EQ(g.find(x), g.find(y));
  EXPECT_EQ(g.number_of_classes(), static_cast<std::size_t>(kDepth + 1));
}

TEST(EGraph, LeaderIsTheClassWithMoreParents) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  node(g, "f", {b});
  node(g, "g", {b});
  node(g, "h", {a});
  // b has two parents, a one: b leads whichever argument comes first.
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_EQ(g.find(a), b);
  EXPECT_EQ(g.eclass(a).parents.size(), 3u);
}

TEST(EGraph, LeaderOnTiedParentCountsIsTheFirstArgumentsRoot) {
  for (bool first_is_a : {true, false}) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    node(g, "f", {a});
    node(g, "f", {b});
    const Id first = first_is_a ? a : b;
    const Id second = first_is_a ? b : a;
    EXPECT_TRUE(g.union_(first, second));
    EXPECT_EQ(g.find(second), first);
    EXPECT_EQ(g.find(first), first);
  }
}

TEST(EGraph, RepeatedChildIsListedTwiceInParents) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id faa = node(g, "f", {a, a});
  const EClass& eclass = g.eclass(a);
  ASSERT_EQ(eclass.parents.size(), 2u);
  EXPECT_EQ(eclass.parents[0], faa);
  EXPECT_EQ(eclass.parents[1], faa);
  EXPECT_EQ(g.added_node(eclass.parents[0]), SymbolLang(sym("f"), {a, a}));
}

TEST(EGraph, UnionOfAClassWithItselfOnlyDirtiesTheGraph) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id fa = node(g, "f", {a});
  g.rebuild();
  ASSERT_TRUE(g.is_clean());
  EXPECT_FALSE(g.union_(fa, fa));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.number_of_classes(), 2u);
  EXPECT_EQ(g.pending_count(), 0u);
  EXPECT_EQ(g.rebuild(), 0u);
}

TEST(EGraph, LookupCanonicalizesChildrenAndFindsOnlyExistingNodes) {
  EGraph g;
  const Id a = leaf(g, "a");
  const Id b = leaf(g, "b");
  const Id fa = node(g, "f", {a});
  EXPECT_EQ(g.lookup(SymbolLang(sym("f"), {a})), fa);
  EXPECT_FALSE(g.lookup(SymbolLang(sym("f"), {b})).has_value());
  EXPECT_FALSE(g.lookup(SymbolLang(sym("f"), {a, a})).has_value());
  g.union_(a, b);
  g.rebuild();
  // b's id is no longer a root, yet looking up f(b) finds f(a)'s class.
  EXPECT_EQ(g.lookup(SymbolLang(sym("f"), {b})), g.find(fa));
}

TEST(EGraph, NodesWithManyChildrenHashConsAndMerge) {
  EGraph g;
  std::vector<Id> xs;
  for (const char* name : {"a", "b", "c", "d", "e"}) xs.push_back(leaf(g, name));
  const Id j1 = g.add(SymbolLang(sym("join"), {xs[0], xs[1], xs[2], xs[3]}));
  const Id j2 = g.add(SymbolLang(sym("join"), {xs[0], xs[1], xs[2], xs[4]}));
  EXPECT_EQ(g.add(SymbolLang(sym("join"), {xs[0], xs[1], xs[2], xs[3]})), j1);
  g.union_(xs[3], xs[4]);
  g.rebuild();
  EXPECT_EQ(g.find(j1), g.find(j2));
}

TEST(EGraph, BadIdsAreInternalErrors) {
  EGraph g;
  const Id a = leaf(g, "a");
  EXPECT_THROW(g.find(a + 5), InternalError);
  EXPECT_THROW(g.eclass(99), InternalError);
  EXPECT_THROW(g.union_(a, 7), InternalError);
  EXPECT_THROW(node(g, "f", {a + 1}), InternalError);
}

// Random graphs and merges, checked against a brute-force congruence closure
// over the added nodes. Odd seeds merge twenty times as much, so that rebuilds
// meet both few and many dirty classes; the operators' candidate lists are
// tracked from the start and checked too.
class EGraphRandomCongruence : public ::testing::TestWithParam<unsigned> {};

TEST_P(EGraphRandomCongruence, RebuildMatchesBruteForceClosure) {
  std::mt19937 random(GetParam());
  EGraph g;
  const GlobalSymbol ops[] = {sym("p"), sym("q"), sym("r")};
  std::vector<Id> ids;
  std::vector<std::pair<Id, Id>> unions;
  for (int i = 0; i < 6; ++i) ids.push_back(leaf(g, testing::numbered("leaf", i)));
  g.index_operators(ops);
  const int unions_per_round = GetParam() % 2 == 0 ? 2 : 40;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 60; ++i) {
      std::vector<Id> children;
      for (std::size_t k = random() % 3; k > 0; --k) children.push_back(ids[random() % ids.size()]);
      ids.push_back(g.add(SymbolLang(ops[random() % 3], children)));
    }
    for (int k = 0; k < unions_per_round; ++k) {
      unions.emplace_back(ids[random() % ids.size()], ids[random() % ids.size()]);
      g.union_(unions.back().first, unions.back().second);
    }
    g.rebuild();
  }

  // Brute force over the nodes as added: apply the unions, then merge nodes
  // with equal operators and equivalent children until nothing changes.
  const std::size_t n = g.number_of_ids();
  std::vector<Id> parent(n);
  std::iota(parent.begin(), parent.end(), 0);
  auto root = [&](Id x) {
    while (parent[x] != x) x = parent[x];
    return x;
  };
  for (const auto& [x, y] : unions) parent[root(x)] = root(y);
  for (bool changed = true; changed;) {
    changed = false;
    std::map<SymbolLang, Id> signature;
    for (Id id = 0; id < n; ++id) {
      SymbolLang canonical = g.added_node(id);
      for (Id& child : canonical.children()) child = root(child);
      const auto [it, inserted] = signature.emplace(canonical, id);
      if (!inserted && root(it->second) != root(id)) {
        parent[root(id)] = root(it->second);
        changed = true;
      }
    }
  }
  for (Id x = 0; x < n; ++x) {
    for (Id y = x + 1; y < n; ++y) {
      ASSERT_EQ(root(x) == root(y), g.find(x) == g.find(y)) << x << " " << y;
    }
  }

  // Every class is canonical, sorted, free of duplicates, known to the memo,
  // and no node sits in two classes.
  std::map<SymbolLang, Id> owner;
  std::size_t classes = 0;
  g.for_each_class([&](const EClass& eclass) {
    ++classes;
    EXPECT_TRUE(std::is_sorted(eclass.nodes.begin(), eclass.nodes.end()));
    for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
      const SymbolLang& canonical = eclass.nodes[i];
      if (i > 0) {
        EXPECT_FALSE(eclass.nodes[i - 1] == canonical);
      }
      for (Id child : canonical.children()) EXPECT_EQ(g.find(child), child);
      EXPECT_TRUE(owner.emplace(canonical, eclass.id).second) << "node in two classes";
      EXPECT_EQ(g.lookup(canonical), eclass.id);
    }
  });
  EXPECT_EQ(classes, g.number_of_classes());

  // Each operator's candidates: every live class holding it, ascending,
  // once; ids merged away may be listed and are skipped by readers.
  for (GlobalSymbol op : ops) {
    std::vector<Id> expected;
    g.for_each_class([&](const EClass& eclass) {
      for (const SymbolLang& node : eclass.nodes) {
        if (node.op() == op) {
          expected.push_back(eclass.id);
          break;
        }
      }
    });
    const std::span<const Id> listed = g.classes_with_operator(op);
    EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end(), std::greater_equal<Id>()) == listed.end());
    std::vector<Id> live;
    for (Id id : listed) {
      if (g.class_if_root(id) != nullptr) live.push_back(id);
    }
    EXPECT_EQ(live, expected) << op.str();
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EGraphRandomCongruence, ::testing::Range(1u, 21u));

}  // namespace
}  // namespace quorvel::egraph
