#include "egraph/node_memo.hpp"

#include <bit>
#include <utility>

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

namespace {
constexpr std::size_t kInitialCapacity = 64;
}

NodeMemo::NodeMemo()
    : narrow_(kInitialCapacity), narrow_mask_(kInitialCapacity - 1), wide_(kInitialCapacity),
      wide_mask_(kInitialCapacity - 1) {}

// Unkeyed on purpose, as SymbolLang::hash for wide nodes: the words are a
// symbol handle and class ids. Handles come from the keyed symbol table
// (random per process, never a caller's choice) and class ids are handed
// out in order of creation, so no caller picks the words being hashed; a
// keyed hash here would only slow every e-graph operation down.
std::uint64_t NodeMemo::narrow_hash(const NarrowKey& key) noexcept {
  return hash_combine(mix64((static_cast<std::uint64_t>(key.op) << 32) | key.first), key.second);
}

std::size_t NodeMemo::probe_narrow(const NarrowKey& key, std::uint64_t hash) const {
  std::size_t slot = static_cast<std::size_t>(hash) & narrow_mask_;
  for (;;) {
    const NarrowSlot& candidate = narrow_[slot];
    if (candidate.value == kNoId || candidate.key == key) return slot;
    slot = (slot + 1) & narrow_mask_;
  }
}

std::size_t NodeMemo::probe_wide(const SymbolLang& node, std::uint64_t hash) const {
  const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
  std::size_t slot = static_cast<std::size_t>(hash) & wide_mask_;
  for (;;) {
    const WideSlot& candidate = wide_[slot];
    if (candidate.value == kNoId) return slot;
    if (candidate.tag == tag && candidate.key == node) return slot;
    slot = (slot + 1) & wide_mask_;
  }
}

Id NodeMemo::find(const SymbolLang& node) const {
  if (node.arity() <= 2) {
    const NarrowKey key = key_of(node);
    return narrow_[probe_narrow(key, narrow_hash(key))].value;
  }
  return wide_[probe_wide(node, node.hash())].value;
}

std::size_t NodeMemo::narrow_slot_for_insert(const NarrowKey& key) {
  const std::uint64_t hash = narrow_hash(key);
  std::size_t slot = probe_narrow(key, hash);
  if (narrow_[slot].value == kNoId && (narrow_size_ + 1) * 8 > narrow_.size() * 5) {
    grow_narrow(narrow_.size() * 2);
    slot = probe_narrow(key, hash);
  }
  return slot;
}

std::size_t NodeMemo::wide_slot_for_insert(const SymbolLang& node, std::uint64_t hash) {
  std::size_t slot = probe_wide(node, hash);
  if (wide_[slot].value == kNoId && (wide_size_ + 1) * 2 > wide_.size()) {
    grow_wide(wide_.size() * 2);
    slot = probe_wide(node, hash);
  }
  return slot;
}

Id NodeMemo::insert_if_absent(const SymbolLang& node, Id id) { return insert(node, id, false); }

Id NodeMemo::insert_or_assign(const SymbolLang& node, Id id) { return insert(node, id, true); }

Id NodeMemo::insert(const SymbolLang& node, Id id, bool replace) {
  auto claim = [&](Id& value) -> Id { return replace ? std::exchange(value, id) : value; };
  if (node.arity() <= 2) {
    const NarrowKey key = key_of(node);
    NarrowSlot& slot = narrow_[narrow_slot_for_insert(key)];
    if (slot.value != kNoId) return claim(slot.value);
    slot.key = key;
    slot.value = id;
    ++narrow_size_;
    return kNoId;
  }
  const std::uint64_t hash = node.hash();
  WideSlot& slot = wide_[wide_slot_for_insert(node, hash)];
  if (slot.value != kNoId) return claim(slot.value);
  slot.key = node;
  slot.value = id;
  slot.tag = static_cast<std::uint32_t>(hash >> 32);
  ++wide_size_;
  return kNoId;
}

void NodeMemo::reserve(std::size_t entries) {
  const std::size_t wanted = std::bit_ceil(entries * 2 + 1);
  if (wanted > narrow_.size()) grow_narrow(wanted);
}

void NodeMemo::grow_narrow(std::size_t capacity) {
  LargeVector<NarrowSlot> old(capacity);
  old.swap(narrow_);
  narrow_mask_ = capacity - 1;
  for (const NarrowSlot& entry : old) {
    if (entry.value == kNoId) continue;
    std::size_t slot = static_cast<std::size_t>(narrow_hash(entry.key)) & narrow_mask_;
    while (narrow_[slot].value != kNoId) slot = (slot + 1) & narrow_mask_;
    narrow_[slot] = entry;
  }
}

void NodeMemo::grow_wide(std::size_t capacity) {
  LargeVector<WideSlot> old(capacity);
  old.swap(wide_);
  wide_mask_ = capacity - 1;
  for (WideSlot& entry : old) {
    if (entry.value == kNoId) continue;
    std::size_t slot = static_cast<std::size_t>(entry.key.hash()) & wide_mask_;
    while (wide_[slot].value != kNoId) slot = (slot + 1) & wide_mask_;
    wide_[slot].key = std::move(entry.key);
    wide_[slot].value = entry.value;
    wide_[slot].tag = entry.tag;
  }
}

}  // namespace quorvel::egraph
