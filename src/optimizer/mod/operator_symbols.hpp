// The engine symbols of one reduction's nodes, numbered once per operator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/local_symbols.hpp"
#include "node/node_id.hpp"
#include "node/node_list.hpp"
#include "support/keyed_hash.hpp"
#include "support/open_table.hpp"

namespace quorvel {

// A node's engine key (engine_key.hpp) depends on its operator alone, never
// on its inputs, and two nodes share a key exactly when they are the same
// operator. So the key of each distinct operator is built and numbered once;
// every later node of that operator finds the symbol by comparing the keys
// in place, which the store never moves. Graphs repeat few operators many
// times (the same filter, the same add), so most nodes build no text at all.
class OperatorSymbols {
 public:
  // Symbols come from `symbols`; `expected` sizes the table of operators.
  // The table reads the nodes in place: `nodes` must outlive it.
  OperatorSymbols(const NodeList& nodes, egraph::LocalSymbols& symbols, std::size_t expected);
  OperatorSymbols(const NodeList&& nodes, egraph::LocalSymbols& symbols, std::size_t expected) = delete;

  struct Symbol {
    egraph::GlobalSymbol symbol;
    bool first;  // no earlier node of this table had the operator
  };
  // The engine symbol of node x.
  Symbol of(NodeId x);

 private:
  struct Entry {
    std::uint64_t hash;
    NodeId node;  // the first node seen with the operator
    egraph::GlobalSymbol symbol;
  };
  struct Slot {
    std::uint32_t tag;              // low bits of the hash
    std::uint32_t entry_plus_one;   // a zero slot is empty
  };
  struct HomeOf {
    const OperatorSymbols* table;
    std::uint64_t operator()(const Slot& slot) const noexcept { return table->entries_[slot.entry_plus_one - 1].hash; }
  };

  const NodeList& nodes_;
  egraph::LocalSymbols& symbols_;
  // Operators are caller content: a keyed hash keeps callers from choosing
  // their slots.
  HashKey key_;
  std::vector<Entry> entries_;
  OpenTable<Slot> table_;
  std::string text_;  // reused for every key built
};

}  // namespace quorvel
