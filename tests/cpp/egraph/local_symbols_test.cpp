#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/local_symbols.hpp"
#include "egraph/symbol_table.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {
namespace {

bool held_process_wide(const std::string& text) {
  return SymbolTable::global().find(text, SymbolTable::hash(text)) != 0;
}

TEST(LocalSymbols, NumbersNewTextsInFirstSeenOrderWithoutTouchingTheProcessTable) {
  const std::vector<std::string> texts = {"src|path=/data/unique-local-1", "", std::string(10000, 'q'),
                                          "stage#3:abc", "src|path=/data/unique-local-2"};
  LocalSymbols symbols;
  std::vector<GlobalSymbol> handles;
  for (const std::string& text : texts) handles.push_back(symbols.intern(text));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(handles[i].handle(), LocalSymbols::kLocalBit | static_cast<std::uint32_t>(i + 1)) << i;
    EXPECT_EQ(symbols.intern(texts[i]), handles[i]) << "a text seen again keeps its symbol";
    EXPECT_EQ(symbols.text(handles[i]), texts[i]);
    EXPECT_FALSE(held_process_wide(texts[i])) << i;
  }
  EXPECT_EQ(symbols.size(), texts.size());
}

TEST(LocalSymbols, ATextTheProcessTableHoldsKeepsItsProcessWideSymbol) {
  const GlobalSymbol rule_op("op|local-symbols-test-rule-op");
  LocalSymbols symbols;
  const GlobalSymbol before = symbols.intern("op|local-symbols-test-other");
  const GlobalSymbol found = symbols.intern("op|local-symbols-test-rule-op");
  EXPECT_EQ(found, rule_op) << "rules naming the operator must match it";
  EXPECT_FALSE(LocalSymbols::is_local(found));
  EXPECT_TRUE(LocalSymbols::is_local(before));
  EXPECT_EQ(symbols.text(found), "op|local-symbols-test-rule-op");
  // Process-wide texts take no local number: the next local one is 2.
  EXPECT_EQ(symbols.intern("op|local-symbols-test-third").handle(), LocalSymbols::kLocalBit | 2u);
}

TEST(LocalSymbols, TwoTablesGiveTheSameNumbersForTheSameTexts) {
  LocalSymbols first(4);
  LocalSymbols second(100000);  // another initial size: the same numbering
  for (int i = 0; i < 5000; ++i) {
    const std::string text = "op|filter|expr=x>" + std::to_string(i * 7919 % 5000);
    ASSERT_EQ(first.intern(text), second.intern(text)) << i;
  }
  for (int i = 0; i < 5000; ++i) {
    const std::string text = "op|filter|expr=x>" + std::to_string(i);
    ASSERT_EQ(first.text(first.intern(text)), text);
  }
  EXPECT_EQ(first.size(), 5000u);
}

// Untexted handles take the next numbers in turn, among the texted ones,
// and have no text to read back.
TEST(LocalSymbols, UntextedHandlesAreNumberedInTurnWithoutText) {
  LocalSymbols symbols;
  const GlobalSymbol a = symbols.intern("src|untexted-test-a");
  const GlobalSymbol b = symbols.add_untexted();
  const GlobalSymbol c = symbols.intern("src|untexted-test-c");
  EXPECT_EQ(a.handle(), LocalSymbols::kLocalBit | 1u);
  EXPECT_EQ(b.handle(), LocalSymbols::kLocalBit | 2u);
  EXPECT_EQ(c.handle(), LocalSymbols::kLocalBit | 3u);
  EXPECT_TRUE(symbols.has_text(a));
  EXPECT_FALSE(symbols.has_text(b));
  EXPECT_EQ(symbols.text(c), "src|untexted-test-c");
  EXPECT_THROW((void)symbols.text(b), InternalError);
  EXPECT_EQ(symbols.size(), 2u);
  EXPECT_EQ(symbols.local_count(), 3u);
  EXPECT_THROW((void)symbols.has_text(GlobalSymbol::from_handle(LocalSymbols::kLocalBit | 4u)), InternalError);
}

TEST(LocalSymbols, AHandleFromElsewhereIsAnInternalError) {
  LocalSymbols symbols;
  (void)symbols.intern("only-one");
  EXPECT_THROW((void)symbols.text(GlobalSymbol::from_handle(LocalSymbols::kLocalBit | 2u)), InternalError);
  EXPECT_THROW((void)GlobalSymbol::from_handle(LocalSymbols::kLocalBit | 1u).text(), InternalError)
      << "the process table has no text for a local handle";
}

}  // namespace
}  // namespace quorvel::egraph
