// The interning table: open addressing over (hash, id) slots. Keys are not
// copied into the table; a probe compares against the key in the arena.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "node/node_key.hpp"
#include "store/node_arena.hpp"
#include "support/keyed_hash.hpp"
#include "support/zeroed_table.hpp"

namespace quorvel {

class NodeIndex {
 public:
  // A fresh random key for every table: keys come from callers and from
  // blobs, so the hash is keyed (no collision holds under every key), and
  // hash values serve only lookups, never deciding an order.
  NodeIndex();

  std::uint64_t hash(const NodeKey& key) const noexcept { return key.hash(key_); }

  std::optional<NodeId> find(const NodeKey& key, std::uint64_t hash, const NodeArena& arena) const noexcept;

  // Starts loading the slot a lookup of this hash begins at.
  void prefetch(std::uint64_t hash) const noexcept {
    if (capacity_ != 0) __builtin_prefetch(slots() + (tag_of(hash) & (capacity_ - 1)));
  }

  // Makes room for one more entry; the only step of an insert that allocates.
  void reserve_one();
  // Makes room for n entries in all.
  void reserve(std::size_t n);
  // Inserts after reserve_one(); does not allocate.
  void insert_reserved(std::uint64_t hash, NodeId id) noexcept;
  // Removes every entry whose id is first or above, in one pass over the
  // table that need no key and no hash: the entries after a removed one in
  // its run move back, so lookups stay exact. Does not allocate.
  void erase_from(NodeId first) noexcept;

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity_bytes() const noexcept { return table_.bytes(); }

 private:
  // Eight bytes a slot keeps the table small enough to stay in cache far
  // longer: the upper half of the key's hash, which also picks the slot, and
  // the id. Ids up to 2^32 - 2 fit; a store never holds more nodes than
  // that (the blob format cannot count them either).
  struct Slot {
    std::uint32_t tag;
    std::uint32_t id_plus_one;  // 0 marks an empty slot
  };
  static constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;

  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }

  void rehash(std::size_t new_capacity);
  // Empties slot hole, moving later entries of its run back.
  void remove_at(std::size_t hole) noexcept;
  Slot* slots() const noexcept { return static_cast<Slot*>(table_.data()); }

  const HashKey key_;  // fixed at construction; read without the store lock
  ZeroedTable table_;         // capacity_ slots; a zero slot is empty
  std::size_t capacity_ = 0;  // a power of two, or 0
  std::size_t size_ = 0;
};

}  // namespace quorvel
