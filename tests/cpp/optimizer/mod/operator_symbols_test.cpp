// One engine symbol per operator: the symbol of a node is the one its engine
// key gets, built once for the first node of each operator.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "egraph/local_symbols.hpp"
#include "egraph/symbol_table.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "optimizer/mod/engine_key.hpp"
#include "optimizer/mod/operator_symbols.hpp"
#include "../optimizer_test_support.hpp"

namespace quorvel {
namespace {

TEST(OperatorSymbols, OneSymbolPerOperatorWhateverTheInputs) {
  shared_default_rules();  // rules are built before a reduction's symbols
  const ParamMap scale({{"factor", ParamValue::integer(3)}});
  const ParamMap add_zero({{"scalar", ParamValue::floating(0.0)}, {"side", ParamValue::text("r")}});
  std::vector<NodeKey> nodes = {NodeKey::source("a", {}), NodeKey::source("b", {})};
  // Many operators, more than the table was sized for, each repeated over
  // other inputs.
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 40; ++k) {
      const NodeId last = nodes.size() - 1;
      nodes.push_back(NodeKey::op("op" + std::to_string(k), scale, {last}));
    }
    nodes.push_back(NodeKey::op("add", add_zero, {nodes.size() - 1}));
    nodes.push_back(NodeKey::op("add", {}, {0, nodes.size() - 1}));
    nodes.push_back(NodeKey::reduction("add", {}, {0, 1}));
  }
  egraph::LocalSymbols symbols;
  const NodeList list(nodes);
  OperatorSymbols operators(list, symbols, 2);
  std::map<std::string, egraph::GlobalSymbol> by_key;
  for (NodeId x = 0; x < nodes.size(); ++x) {
    const std::string key = engine_key(nodes[x]);
    const OperatorSymbols::Symbol got = operators.of(x);
    const auto [it, first] = by_key.emplace(key, got.symbol);
    EXPECT_EQ(got.first, first) << key;
    EXPECT_EQ(got.symbol, it->second) << key;
    // A key is written only when the process-wide table may hold it; one
    // left unwritten is a local symbol whose head the table has never seen.
    if (symbols.has_text(got.symbol)) {
      EXPECT_EQ(symbols.text(got.symbol), key);
    } else {
      EXPECT_TRUE(egraph::LocalSymbols::is_local(got.symbol)) << key;
      EXPECT_FALSE(egraph::SymbolTable::global().may_hold_head(egraph::SymbolTable::head_of(key))) << key;
    }
  }
  EXPECT_EQ(by_key.size(), 2u + 40u + 3u);
  // One handle per operator: the process-wide ones, and this table's
  // numbered 1 to local_count(), written or not.
  std::size_t process_wide = 0;
  for (const auto& [key, symbol] : by_key) process_wide += egraph::LocalSymbols::is_local(symbol) ? 0 : 1;
  EXPECT_EQ(symbols.local_count() + process_wide, by_key.size());
  // The texts rules name keep their process-wide symbols, so rules match them.
  EXPECT_FALSE(egraph::LocalSymbols::is_local(by_key.at(engine_key(nodes[2 + 40]))));
  EXPECT_FALSE(egraph::LocalSymbols::is_local(by_key.at("op|add")));
  EXPECT_TRUE(egraph::LocalSymbols::is_local(by_key.at(engine_key(nodes[2]))));
}

}  // namespace
}  // namespace quorvel
