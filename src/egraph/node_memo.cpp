#include "egraph/node_memo.hpp"

#include <utility>

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

// Unkeyed on purpose, as SymbolLang::hash for wide nodes: the words are a
// symbol handle and class ids. Handles come from the keyed symbol table
// (random per process, never a caller's choice) and class ids are handed
// out in order of creation, so no caller picks the words being hashed; a
// keyed hash here would only slow every e-graph operation down.
std::uint64_t NodeMemo::narrow_hash(const NarrowSlot& key) noexcept {
  return hash_combine(mix64((static_cast<std::uint64_t>(key.op) << 32) | key.first), key.second);
}

Id NodeMemo::find(const SymbolLang& node) const {
  if (node.arity() <= 2) {
    const NarrowSlot key = key_of(node);
    const NarrowSlot* found = narrow_.find(
        narrow_hash(key), [&](const NarrowSlot& slot) { return slot.holds(key.op, key.first, key.second); });
    return found == nullptr ? kNoId : found->value_plus_one - 1;
  }
  const std::uint32_t tag = static_cast<std::uint32_t>(node.hash() >> 32);
  const WideSlot* found = wide_.find(tag, [&](const WideSlot& slot) {
    return slot.tag == tag && wide_entries_[slot.entry_plus_one - 1].key == node;
  });
  return found == nullptr ? kNoId : wide_entries_[found->entry_plus_one - 1].value;
}

Id NodeMemo::insert(const SymbolLang& node, Id id, bool replace) {
  if (node.arity() <= 2) {
    const NarrowSlot key = key_of(node);
    const std::uint64_t hash = narrow_hash(key);
    auto probe = narrow_.find_or_room(
        hash, [&](const NarrowSlot& slot) { return slot.holds(key.op, key.first, key.second); },
        [](const NarrowSlot& slot) { return narrow_hash(slot); });
    if (probe.found) {
      const Id previous = probe.slot->value_plus_one - 1;
      if (replace) probe.slot->value_plus_one = id + 1;
      return previous;
    }
    NarrowSlot entry = key;
    entry.value_plus_one = id + 1;
    narrow_.fill(probe.slot, entry);
    return kNoId;
  }
  const std::uint32_t tag = static_cast<std::uint32_t>(node.hash() >> 32);
  auto probe = wide_.find_or_room(
      tag,
      [&](const WideSlot& slot) { return slot.tag == tag && wide_entries_[slot.entry_plus_one - 1].key == node; },
      wide_home);
  if (probe.found) {
    Id& value = wide_entries_[probe.slot->entry_plus_one - 1].value;
    return replace ? std::exchange(value, id) : value;
  }
  wide_entries_.push_back(WideEntry{node, id});
  wide_.fill(probe.slot, WideSlot{tag, static_cast<std::uint32_t>(wide_entries_.size())});
  return kNoId;
}

void NodeMemo::reserve(std::size_t entries) {
  narrow_.reserve(entries + entries / 4 + 1, [](const NarrowSlot& slot) { return narrow_hash(slot); });
}

}  // namespace quorvel::egraph
