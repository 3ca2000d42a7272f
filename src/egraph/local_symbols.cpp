#include "egraph/local_symbols.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "egraph/symbol_table.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

// Room for one more element, growing geometrically as push_back does
// (reserving exactly one more would copy the whole vector on every insert).
template <class Vector>
void reserve_one_more(Vector& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 8 ? 8 : 2 * v.size());
}

}  // namespace

LocalSymbols::LocalSymbols(std::size_t expected_texts) {
  slots_.reserve(expected_texts, [this](const Slot& slot) { return home(slot); });
  entries_.reserve(expected_texts);
}

GlobalSymbol LocalSymbols::intern(std::string_view text) {
  if (text.size() > UINT32_MAX) fail_invariant("symbol texts are shorter than 4 GiB", std::to_string(text.size()));
  // The texts come from callers: the keyed hash keeps them from choosing
  // their slots.
  const std::uint64_t hash = SymbolTable::hash(text);
  const auto tag = static_cast<std::uint32_t>(hash);
  const auto probe = slots_.find_or_room(
      tag,
      [&](const Slot& slot) {
        const Entry& entry = entries_[slot.entry_plus_one - 1];
        return entry.hash_tag == tag && entry.size == text.size() &&
               std::memcmp(texts_.data() + entry.offset, text.data(), text.size()) == 0;
      },
      [this](const Slot& slot) { return home(slot); });
  if (probe.found) return entries_[probe.slot->entry_plus_one - 1].symbol;
  if (std::max(entries_.size(), local_entries_.size()) >= (kLocalBit - 1)) {
    fail_invariant("a reduction numbers fewer than 2^31 texts", "");
  }
  GlobalSymbol symbol = GlobalSymbol::from_handle(SymbolTable::global().find(text, hash));
  // Everything that allocates happens before the entry is counted.
  reserve_one_more(entries_);
  if (symbol.is_null()) {
    reserve_one_more(local_entries_);
    symbol = GlobalSymbol::from_handle(kLocalBit | static_cast<std::uint32_t>(local_entries_.size() + 1));
  }
  const std::uint64_t offset = texts_.size();
  texts_.append(text);
  if (is_local(symbol)) local_entries_.push_back(static_cast<std::uint32_t>(entries_.size()));
  entries_.push_back(Entry{offset, static_cast<std::uint32_t>(text.size()), tag, symbol});
  slots_.fill(probe.slot, Slot{static_cast<std::uint32_t>(entries_.size())});
  return symbol;
}

GlobalSymbol LocalSymbols::add_untexted() {
  if (local_entries_.size() >= (kLocalBit - 1)) fail_invariant("a reduction numbers fewer than 2^31 texts", "");
  local_entries_.push_back(kUntexted);
  return GlobalSymbol::from_handle(kLocalBit | static_cast<std::uint32_t>(local_entries_.size()));
}

namespace {

[[noreturn]] void unknown_local(GlobalSymbol symbol) {
  fail_invariant("a local symbol was numbered by this table", std::to_string(symbol.handle()));
}

}  // namespace

bool LocalSymbols::has_text(GlobalSymbol symbol) const {
  if (!is_local(symbol)) return true;
  const std::uint32_t number = symbol.handle() & ~kLocalBit;
  if (number == 0 || number > local_entries_.size()) unknown_local(symbol);
  return local_entries_[number - 1] != kUntexted;
}

std::string_view LocalSymbols::text(GlobalSymbol symbol) const {
  if (!is_local(symbol)) return symbol.text();
  const std::uint32_t number = symbol.handle() & ~kLocalBit;
  if (number == 0 || number > local_entries_.size()) unknown_local(symbol);
  if (local_entries_[number - 1] == kUntexted) fail_invariant("a local symbol read back has a text", std::to_string(number));
  const Entry& entry = entries_[local_entries_[number - 1]];
  return std::string_view(texts_.data() + entry.offset, entry.size);
}

}  // namespace quorvel::egraph
