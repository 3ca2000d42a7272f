#include "optimizer/mod/operator_symbols.hpp"

#include "egraph/symbol_table.hpp"

#include "optimizer/mod/engine_key.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

OperatorSymbols::OperatorSymbols(const NodeList& nodes, egraph::LocalSymbols& symbols, std::size_t expected)
    : nodes_(nodes), symbols_(symbols), key_(fresh_hash_key()) {
  entries_.reserve(expected);
  table_.reserve(expected, HomeOf{this});
}

OperatorSymbols::Symbol OperatorSymbols::of(NodeId x) {
  const NodeKey& node = nodes_[x];
  const std::uint64_t hash = node.operator_hash(key_);
  const auto tag = static_cast<std::uint32_t>(hash);
  const auto probe = table_.find_or_room(
      hash,
      [&](const Slot& slot) {
        return slot.tag == tag && same_operator(nodes_[entries_[slot.entry_plus_one - 1].node], node);
      },
      HomeOf{this});
  if (probe.found) return Symbol{entries_[probe.slot->entry_plus_one - 1].symbol, false};
  if (entries_.size() >= UINT32_MAX - 1) fail_invariant("a reduction has fewer than 2^32 - 1 operators", "");
  // A key whose head the process-wide table cannot hold is not one of its
  // texts: it gets a local handle without being written, and stage fusion
  // writes it from the operator's prototype if a member needs it.
  text_.clear();
  egraph::GlobalSymbol symbol;
  if (append_engine_key_head(node, text_) && !egraph::SymbolTable::global().may_hold_head(text_)) {
    symbol = symbols_.add_untexted();
  } else {
    text_.clear();
    append_engine_key(node, text_);
    symbol = symbols_.intern(text_);
  }
  entries_.push_back(Entry{hash, x, symbol});
  table_.fill(probe.slot, Slot{tag, static_cast<std::uint32_t>(entries_.size())});
  return Symbol{symbol, true};
}

}  // namespace quorvel
