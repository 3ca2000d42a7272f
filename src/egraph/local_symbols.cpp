#include "egraph/local_symbols.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "egraph/symbol_table.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

constexpr std::size_t kMinSlots = 16;

// Room for one more element, growing geometrically as push_back does
// (reserving exactly one more would copy the whole vector on every insert).
template <class Vector>
void reserve_one_more(Vector& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 8 ? 8 : 2 * v.size());
}

// Slots for at least count texts at a load factor of at most one half.
std::size_t slots_for(std::size_t count) { return std::bit_ceil(count * 2 < kMinSlots ? kMinSlots : count * 2); }

}  // namespace

LocalSymbols::LocalSymbols(std::size_t expected_texts) : slots_(slots_for(expected_texts), 0) {
  entries_.reserve(expected_texts);
}

GlobalSymbol LocalSymbols::intern(std::string_view text) {
  if (text.size() > UINT32_MAX) fail_invariant("symbol texts are shorter than 4 GiB", std::to_string(text.size()));
  // The texts come from callers: the keyed hash keeps them from choosing
  // their slots.
  const std::uint64_t hash = SymbolTable::hash(text);
  const auto tag = static_cast<std::uint32_t>(hash);
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = tag & mask;
  while (slots_[slot] != 0) {
    const Entry& entry = entries_[slots_[slot] - 1];
    if (entry.hash_tag == tag && entry.size == text.size() &&
        std::memcmp(texts_.data() + entry.offset, text.data(), text.size()) == 0) {
      return entry.symbol;
    }
    slot = (slot + 1) & mask;
  }
  if (entries_.size() >= (kLocalBit - 1)) fail_invariant("a reduction numbers fewer than 2^31 texts", "");
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
  slots_[slot] = static_cast<std::uint32_t>(entries_.size());
  if (entries_.size() * 2 > slots_.size()) grow_slots();
  return symbol;
}

void LocalSymbols::grow_slots() {
  std::vector<std::uint32_t> slots(slots_.size() * 2, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::uint32_t index : slots_) {
    if (index == 0) continue;
    std::size_t slot = entries_[index - 1].hash_tag & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = index;
  }
  slots_.swap(slots);
}

std::string_view LocalSymbols::text(GlobalSymbol symbol) const {
  if (!is_local(symbol)) return symbol.text();
  const std::uint32_t number = symbol.handle() & ~kLocalBit;
  if (number == 0 || number > local_entries_.size()) {
    fail_invariant("a local symbol was numbered by this table", std::to_string(symbol.handle()));
  }
  const Entry& entry = entries_[local_entries_[number - 1]];
  return std::string_view(texts_.data() + entry.offset, entry.size);
}

}  // namespace quorvel::egraph
