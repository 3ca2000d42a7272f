// The hash-cons: canonical e-node to class id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "egraph/id.hpp"
#include "egraph/symbol_lang.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel::egraph {

// Open addressing with linear probing over power-of-two slot arrays filled to
// at most five eighths. reserve sizes a table to at most half full, so that
// the nodes rewrites add (a quarter more, say) fit without growing it: a
// growth rehashes every entry at random. Entries are never removed; a value
// may be replaced. The hashes are fixed and unseeded, so the table behaves
// the same on every run.
//
// Nodes with at most two children, nearly all of them, are kept in 16-byte
// slots (operator, two children, value), four to a cache line: the table is
// probed at random for every add, so its footprint decides how often a probe
// misses the caches. Wider nodes go to a second table holding whole nodes.
class NodeMemo {
 public:
  NodeMemo();

  std::size_t size() const noexcept { return narrow_size_ + wide_size_; }

  // The id stored for node, or kNoId.
  Id find(const SymbolLang& node) const;

  // Stores node -> id unless node is present. Returns kNoId when it was
  // inserted, otherwise the id already stored (which is left unchanged).
  Id insert_if_absent(const SymbolLang& node, Id id);

  // Stores node -> id, replacing any previous value. Returns the previous
  // value, or kNoId when node was new.
  Id insert_or_assign(const SymbolLang& node, Id id);

  // Hints that node is about to be looked up.
  void prefetch(const SymbolLang& node) const noexcept {
    if (node.arity() <= 2) __builtin_prefetch(&narrow_[narrow_hash(key_of(node)) & narrow_mask_]);
  }

  // Capacity for this many entries without growing.
  void reserve(std::size_t entries);

 private:
  // The insert behind both public forms: returns the id already stored
  // (replaced by id when replace is set), or kNoId after storing id.
  Id insert(const SymbolLang& node, Id id, bool replace);
  // A node with at most two children; a missing child is kNoId.
  struct NarrowKey {
    std::uint32_t op;
    Id first;
    Id second;
    friend bool operator==(const NarrowKey&, const NarrowKey&) = default;
  };
  struct NarrowSlot {
    NarrowKey key;
    Id value = kNoId;  // kNoId marks an empty slot
  };
  struct WideSlot {
    SymbolLang key;
    Id value = kNoId;
    std::uint32_t tag = 0;
  };

  static NarrowKey key_of(const SymbolLang& node) noexcept {
    const auto children = node.children();
    return NarrowKey{node.op().handle(), children.size() > 0 ? children[0] : kNoId,
                     children.size() > 1 ? children[1] : kNoId};
  }
  static std::uint64_t narrow_hash(const NarrowKey& key) noexcept;

  std::size_t probe_narrow(const NarrowKey& key, std::uint64_t hash) const;
  std::size_t probe_wide(const SymbolLang& node, std::uint64_t hash) const;
  // Index of the slot for key, growing first when a new entry would overfill.
  std::size_t narrow_slot_for_insert(const NarrowKey& key);
  std::size_t wide_slot_for_insert(const SymbolLang& node, std::uint64_t hash);
  void grow_narrow(std::size_t capacity);
  void grow_wide(std::size_t capacity);

  LargeVector<NarrowSlot> narrow_;
  std::size_t narrow_mask_ = 0;
  std::size_t narrow_size_ = 0;
  LargeVector<WideSlot> wide_;
  std::size_t wide_mask_ = 0;
  std::size_t wide_size_ = 0;
};

}  // namespace quorvel::egraph
