#include "egraph/node_memo.hpp"

#include <utility>

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

Id NodeMemo::find(const SymbolLang& node) const {
  if (node.arity() <= 2) {
    const NarrowKey key = key_of(node);
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

Id NodeMemo::insert_narrow(const NarrowKey& key, std::uint64_t hash, Id id, bool replace) {
  auto probe = narrow_.find_or_room(
      hash, [&](const NarrowSlot& slot) { return slot.holds(key.op, key.first, key.second); }, slot_hash);
  if (probe.found) {
    const Id previous = probe.slot->value_plus_one - 1;
    if (replace) probe.slot->value_plus_one = id + 1;
    return previous;
  }
  narrow_.fill(probe.slot, NarrowSlot{key.op, key.first, key.second, id + 1});
  return kNoId;
}

Id NodeMemo::insert(const SymbolLang& node, Id id, bool replace) {
  if (node.arity() <= 2) {
    const NarrowKey key = key_of(node);
    return insert_narrow(key, narrow_hash(key), id, replace);
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
  narrow_.reserve(entries + entries / 4 + 1, slot_hash);
}

}  // namespace quorvel::egraph
