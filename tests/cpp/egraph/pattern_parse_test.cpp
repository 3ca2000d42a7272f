#include <gtest/gtest.h>

#include <string>

#include "egraph/pattern.hpp"
#include "egraph/pattern_parser.hpp"
#include "egraph/sexp_reader.hpp"
#include "egraph_test_support.hpp"

namespace quorvel::egraph {
namespace {

using testing::sym;

struct ParseErrorCase {
  const char* text;
  PatternErrorKind kind;
  const char* detail;  // nullptr: not checked
};

class PatternParseErrors : public ::testing::TestWithParam<ParseErrorCase> {};

TEST_P(PatternParseErrors, ReportsTheKindAndItsDetail) {
  const ParseErrorCase& c = GetParam();
  auto parsed = Pattern::parse(c.text);
  ASSERT_FALSE(parsed.ok()) << c.text;
  EXPECT_EQ(parsed.error().kind, c.kind) << c.text;
  if (c.detail != nullptr) {
    EXPECT_EQ(parsed.error().detail, c.detail);
  }
  EXPECT_FALSE(parsed.error().message().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PatternParseErrors,
    ::testing::Values(ParseErrorCase{"()", PatternErrorKind::EmptySexp, nullptr},
                      ParseErrorCase{"(f ?x ())", PatternErrorKind::EmptySexp, nullptr},
                      ParseErrorCase{"((f) ?x)", PatternErrorKind::HeadList, "(f)"},
                      ParseErrorCase{"(g ((h  a)\tb))", PatternErrorKind::HeadList, "(h a)"},
                      ParseErrorCase{"(?x ?y)", PatternErrorKind::UnexpectedVar, "?x"},
                      ParseErrorCase{"(f (?op a))", PatternErrorKind::UnexpectedVar, "?op"},
                      ParseErrorCase{"", PatternErrorKind::BadSexp, nullptr},
                      ParseErrorCase{"   \n", PatternErrorKind::BadSexp, nullptr},
                      ParseErrorCase{"(f a", PatternErrorKind::BadSexp, nullptr},
                      ParseErrorCase{"(f a))", PatternErrorKind::BadSexp, nullptr},
                      ParseErrorCase{")", PatternErrorKind::BadSexp, nullptr},
                      ParseErrorCase{"a b", PatternErrorKind::BadSexp, nullptr}));

TEST(PatternParse, TokensWithBarsEqualsAndSemicolonsAreSingleAtoms) {
  const Pattern p = testing::pattern("(op|add|scalar=f0000000000000000;side=sr ?x)");
  ASSERT_EQ(p.ast().size(), 2u);
  EXPECT_TRUE(p.ast()[0].is_var());
  EXPECT_EQ(p.ast()[0].var(), sym("?x"));
  EXPECT_EQ(p.root().node().op(), sym("op|add|scalar=f0000000000000000;side=sr"));
  EXPECT_EQ(p.root().node().arity(), 1u);
}

TEST(PatternParse, WhitespaceSeparatesButATabInsideAnAtomBelongsToIt) {
  const Pattern p = testing::pattern(" \r\n(f\t?x   a\tb\n)\n");
  // "f\t?x" is one atom, and so is "a\tb": one operator, one child.
  EXPECT_EQ(p.root().node().op(), sym("f\t?x"));
  ASSERT_EQ(p.root().node().arity(), 1u);
  EXPECT_EQ(p.ast()[p.root().node().children()[0]].node().op(), sym("a\tb"));
}

TEST(PatternParse, LoneQuestionMarkIsAnOperatorAndLoneVariableIsAVariable) {
  EXPECT_FALSE(testing::pattern("?").root().is_var());
  EXPECT_TRUE(testing::pattern("?x").root().is_var());
  EXPECT_TRUE(testing::pattern("(?x)").root().is_var());
}

TEST(PatternParse, CompactionSharesRepeatedSubPatterns) {
  const Pattern p = testing::pattern("(f (g ?x) (g ?x) ?x)");
  // ?x, (g ?x), (f ...): three distinct nodes.
  ASSERT_EQ(p.ast().size(), 3u);
  const auto children = p.root().node().children();
  EXPECT_EQ(children[0], children[1]);
  EXPECT_EQ(p.to_string(), "(f (g ?x) (g ?x) ?x)");
}

TEST(PatternParse, VarsInOrderOfFirstOccurrenceWithoutRepeats) {
  const Pattern p = testing::pattern("(f ?b (g ?a ?b) ?c ?a)");
  EXPECT_EQ(p.vars(), (std::vector<Var>{sym("?b"), sym("?a"), sym("?c")}));
}

TEST(PatternParse, DeeplyNestedTextNeedsNoRecursion) {
  constexpr int kDepth = 100000;
  std::string text;
  for (int i = 0; i < kDepth; ++i) text += "(s ";
  text += "?x";
  text.append(kDepth, ')');
  const Pattern p = testing::pattern(text);
  EXPECT_EQ(p.ast().size(), static_cast<std::size_t>(kDepth + 1));
  EXPECT_EQ(p.to_string(), text);
  auto sexp = read_sexp(text);
  ASSERT_TRUE(sexp.ok());
  EXPECT_EQ(sexp.value().render(sexp.value().root()), text);
}

}  // namespace
}  // namespace quorvel::egraph
