// Shared helpers for the rewrite-engine tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/global_symbol.hpp"
#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"

namespace quorvel::egraph::testing {

// prefix followed by k in decimal.
inline std::string numbered(std::string_view prefix, long long k) {
  std::string text(prefix);
  text += std::to_string(k);
  return text;
}

inline GlobalSymbol sym(std::string_view text) { return GlobalSymbol(text); }

inline Id leaf(EGraph& egraph, std::string_view op) { return egraph.add(SymbolLang(sym(op))); }

inline Id node(EGraph& egraph, std::string_view op, std::initializer_list<Id> children) {
  return egraph.add(SymbolLang(sym(op), children));
}

inline Pattern pattern(std::string_view text) {
  auto parsed = Pattern::parse(text);
  EXPECT_TRUE(parsed.ok()) << text << ": " << (parsed.ok() ? "" : parsed.error().message());
  return std::move(parsed).value();
}

inline Rewrite rule(std::string_view name, std::string_view searcher, std::string_view applier) {
  auto made = Rewrite::make(name, pattern(searcher), pattern(applier));
  EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error());
  return std::move(made).value();
}

// Total number of substitutions in a search result.
inline std::size_t match_count(const SearchResults& results) { return results.total_substs(); }

}  // namespace quorvel::egraph::testing
