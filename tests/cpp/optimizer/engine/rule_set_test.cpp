// The built-in rule set: its twelve rules in order, written out in full,
// the one shared list every default engine runs, and the identity tokens.
#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

using namespace optimizer_test;

TEST(RuleSet, TwelveRulesInOrder) {
  const std::vector<egraph::Rewrite> rules = default_rules();
  std::vector<std::vector<std::string>> got;
  for (const egraph::Rewrite& r : rules) {
    got.push_back({r.name().str(), r.searcher().to_string(), r.applier().to_string()});
  }
  const std::vector<std::vector<std::string>> expected = {
      {"commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"},
      {"commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"},
      {"commute-and", "(op|and ?a ?b)", "(op|and ?b ?a)"},
      {"commute-or", "(op|or ?a ?b)", "(op|or ?b ?a)"},
      {"commute-eq", "(op|eq ?a ?b)", "(op|eq ?b ?a)"},
      {"commute-ne", "(op|ne ?a ?b)", "(op|ne ?b ?a)"},
      {"commute-maximum", "(op|maximum ?a ?b)", "(op|maximum ?b ?a)"},
      {"commute-minimum", "(op|minimum ?a ?b)", "(op|minimum ?b ?a)"},
      {"identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
      {"identity-1", "(op|add|scalar=f0000000000000000;side=sl ?x)", "?x"},
      {"identity-2", "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "?x"},
      {"identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x"},
  };
  EXPECT_EQ(got, expected);
  // Compiled once: every call shares the same patterns.
  const std::vector<egraph::Rewrite> again = default_rules();
  ASSERT_EQ(again.size(), rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    EXPECT_EQ(&again[i].searcher(), &rules[i].searcher());
    EXPECT_EQ(&again[i].applier(), &rules[i].applier());
  }
}

// Every default engine runs the one rule list of the process, not a copy of
// it; an engine given its own rules runs those.
TEST(RuleSet, DefaultEnginesShareOneRuleList) {
  const SaturationEngine first;
  const SaturationEngine second;
  EXPECT_EQ(&first.rules(), &second.rules());
  EXPECT_EQ(&first.rules(), shared_default_rules().get());
  EXPECT_EQ(first.rules().size(), 12u);
  const std::vector<egraph::Rewrite> all = default_rules();
  const SaturationEngine own(std::vector<egraph::Rewrite>(all.begin(), all.begin() + 2));
  EXPECT_NE(&own.rules(), &first.rules());
  ASSERT_EQ(own.rules().size(), 2u);
  EXPECT_EQ(own.rules()[1].name().str(), "commute-mul");
}

// The identity tokens are the node tokens of add-zero and multiply-by-one
// ops, as the token code writes them for the store's nodes.
TEST(RuleSet, IdentityTokensAreTheTokensOfAddZeroAndMulOneNodes) {
  EXPECT_EQ(identity_tokens(), (std::array<std::string, 4>{
                                   "op|add|scalar=f0000000000000000;side=sr",
                                   "op|add|scalar=f0000000000000000;side=sl",
                                   "op|mul|scalar=f3ff0000000000000;side=sr",
                                   "op|mul|scalar=f3ff0000000000000;side=sl",
                               }));
  EXPECT_EQ(identity_tokens()[0], add_zero(0, "r").token());
  EXPECT_EQ(identity_tokens()[3], mul_one(0, "l").token());
}

TEST(RuleSet, TheEightCommutativeOperators) {
  const std::vector<std::string_view> listed(std::begin(kCommutativeOperators), std::end(kCommutativeOperators));
  EXPECT_EQ(listed, (std::vector<std::string_view>{"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}));
}

}  // namespace
}  // namespace quorvel
