// The hash-cons: canonical e-node to class id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "egraph/id.hpp"
#include "egraph/symbol_lang.hpp"
#include "support/hash_mix.hpp"
#include "support/open_table.hpp"

namespace quorvel::egraph {

// Two open-addressing tables (support/open_table.hpp). Entries are never
// removed; a value may be replaced. The hashes are fixed and unseeded, so the
// tables behave the same on every run. reserve leaves room for the nodes
// rewrites add (a quarter more) without growing: a growth rehashes every
// entry at random.
//
// Nodes with at most two children, nearly all of them, are kept in 16-byte
// slots (operator, two children, value), four to a cache line: the table is
// probed at random for every add, so its footprint decides how often a probe
// misses the caches. Wider nodes are kept whole in a list, which the second
// table indexes by hash tag and position.
class NodeMemo {
 public:
  std::size_t size() const noexcept { return narrow_.size() + wide_.size(); }

  // The id stored for node, or kNoId.
  Id find(const SymbolLang& node) const;

  // Stores node -> id unless node is present. Returns kNoId when it was
  // inserted, otherwise the id already stored (which is left unchanged).
  Id insert_if_absent(const SymbolLang& node, Id id) { return insert(node, id, false); }

  // Stores node -> id, replacing any previous value. Returns the previous
  // value, or kNoId when node was new.
  Id insert_or_assign(const SymbolLang& node, Id id) { return insert(node, id, true); }

  // Hints that node is about to be looked up.
  void prefetch(const SymbolLang& node) const noexcept {
    if (node.arity() <= 2) narrow_.prefetch(narrow_hash(key_of(node)));
  }

  // Capacity for this many entries, and a quarter more, without growing.
  void reserve(std::size_t entries);

  // A node of at most two children by its words: the operator's handle and
  // the children, kNoId for a missing one. A caller that has a key's words
  // (and has hashed them with narrow_hash) files it without building the
  // node.
  struct NarrowKey {
    std::uint32_t op;
    Id first;
    Id second;
  };
  // Unkeyed on purpose, as SymbolLang::hash for wide nodes: the words are a
  // symbol handle and class ids. Handles come from the keyed symbol table
  // (random per process, never a caller's choice) and class ids are handed
  // out in order of creation, so no caller picks the words being hashed; a
  // keyed hash here would only slow every e-graph operation down.
  static std::uint64_t narrow_hash(const NarrowKey& key) noexcept {
    return hash_combine(mix64((static_cast<std::uint64_t>(key.op) << 32) | key.first), key.second);
  }
  Id insert_if_absent(const NarrowKey& key, std::uint64_t hash, Id id) { return insert_narrow(key, hash, id, false); }

 private:
  // The insert behind both public forms: returns the id already stored
  // (replaced by id when replace is set), or kNoId after storing id.
  Id insert(const SymbolLang& node, Id id, bool replace);
  Id insert_narrow(const NarrowKey& key, std::uint64_t hash, Id id, bool replace);

  // A node with at most two children; a missing child is kNoId. Ids are
  // stored plus one, so that a zero slot is empty.
  struct NarrowSlot {
    std::uint32_t op;
    Id first;
    Id second;
    Id value_plus_one;
    bool holds(std::uint32_t o, Id a, Id b) const noexcept { return op == o && first == a && second == b; }
  };
  struct WideSlot {
    std::uint32_t tag;            // the upper half of the node's hash, which also picks the slot
    std::uint32_t entry_plus_one;
  };
  struct WideEntry {
    SymbolLang key;
    Id value;
  };

  static NarrowKey key_of(const SymbolLang& node) noexcept {
    const auto children = node.children();
    return NarrowKey{node.op().handle(), children.size() > 0 ? children[0] : kNoId,
                     children.size() > 1 ? children[1] : kNoId};
  }
  static std::uint64_t slot_hash(const NarrowSlot& slot) noexcept {
    return narrow_hash(NarrowKey{slot.op, slot.first, slot.second});
  }
  static std::uint64_t wide_home(const WideSlot& slot) noexcept { return slot.tag; }

  OpenTable<NarrowSlot> narrow_;
  OpenTable<WideSlot> wide_;
  std::vector<WideEntry> wide_entries_;
};

}  // namespace quorvel::egraph
