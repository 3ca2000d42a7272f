// The interning table: open addressing over (hash, id) slots. Keys are not
// copied into the table; a probe compares against the key in the arena.
#pragma once

#include <cstdint>
#include <new>
#include <optional>

#include "node/node_key.hpp"
#include "store/node_arena.hpp"
#include "support/keyed_hash.hpp"
#include "support/open_table.hpp"

namespace quorvel {

class NodeIndex {
  struct Slot;

 public:
  // A fresh random key for every table: keys come from callers and from
  // blobs, so the hash is keyed (no collision holds under every key), and
  // hash values serve only lookups, never deciding an order.
  NodeIndex();

  std::uint64_t hash(const NodeKey& key) const noexcept { return key.hash(key_); }

  std::optional<NodeId> find(const NodeKey& key, std::uint64_t hash, const NodeArena& arena) const noexcept {
    const std::uint32_t tag = tag_of(hash);
    const Slot* found = table_.find(tag, [&](const Slot& slot) {
      return slot.tag == tag && arena[slot.id_plus_one - 1] == key;
    });
    if (found == nullptr) return std::nullopt;
    return NodeId{found->id_plus_one} - 1;
  }

  // Where an absent key goes: an empty slot, valid until the table next
  // changes.
  class Room {
    friend class NodeIndex;
    Slot* slot_ = nullptr;
  };

  // The key's id when it is in the table. Otherwise sets `room` to the
  // empty slot where it belongs, for insert_at, and returns nullopt: a table
  // that could not take one more entry grows first, which may throw
  // std::bad_alloc before anything changed. One probe serves the lookup
  // and the insertion.
  std::optional<NodeId> find_or_room(const NodeKey& key, std::uint64_t hash, const NodeArena& arena, Room& room) {
    if (table_.size() >= kMaxEntries) [[unlikely]] {
      if (auto id = find(key, hash, arena)) return id;
      throw std::bad_alloc();
    }
    const std::uint32_t tag = tag_of(hash);
    const auto probe = table_.find_or_room(
        tag, [&](const Slot& slot) { return slot.tag == tag && arena[slot.id_plus_one - 1] == key; }, home);
    if (probe.found) return NodeId{probe.slot->id_plus_one} - 1;
    room.slot_ = probe.slot;
    return std::nullopt;
  }
  // Fills the room find_or_room made for this hash; does not allocate.
  void insert_at(Room room, std::uint64_t hash, NodeId id) noexcept {
    table_.fill(room.slot_, Slot{tag_of(hash), static_cast<std::uint32_t>(id + 1)});
  }

  // Starts loading the slot a lookup of this hash begins at.
  void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(tag_of(hash)); }

  // Makes room for one more entry; the only step of an insert that allocates.
  void reserve_one() { reserve(table_.size() + 1); }
  // Makes room for n entries in all.
  void reserve(std::size_t n) {
    if (n > kMaxEntries) throw std::bad_alloc();
    table_.reserve(n, home);
  }
  // Inserts after reserve_one(); does not allocate.
  void insert_reserved(std::uint64_t hash, NodeId id) noexcept {
    table_.insert_new(tag_of(hash), Slot{tag_of(hash), static_cast<std::uint32_t>(id + 1)});
  }
  // Removes every entry whose id is first or above, in one pass over the
  // table that needs no key and no hash. Does not allocate.
  void erase_from(NodeId first) noexcept {
    table_.erase_if([first](const Slot& slot) { return slot.id_plus_one > first; }, home);
  }

  std::size_t size() const noexcept { return table_.size(); }
  std::size_t capacity_bytes() const noexcept { return table_.capacity_bytes(); }

 private:
  // Eight bytes a slot keeps the table small enough to stay in cache far
  // longer: the upper half of the key's hash, which also picks the slot, and
  // the id. Ids up to 2^32 - 2 fit; a store never holds more nodes than
  // that (the blob format cannot count them either).
  struct Slot {
    std::uint32_t tag;
    std::uint32_t id_plus_one;  // never 0: a zero slot is empty
  };
  static constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;

  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }
  static std::uint64_t home(const Slot& slot) noexcept { return slot.tag; }

  const HashKey key_;  // fixed at construction; read without the store lock
  // Filled to three quarters rather than the default five eighths: the
  // index is the one table that lives as long as its store and grows with
  // it, so its size counts towards every node's footprint, and a smaller
  // table is also one that misses the caches less (3M nodes: 32 MiB instead
  // of 64, interning 9% faster). Its old storage is unmapped as it grows:
  // kept for reuse, it would stay resident beside the new one.
  OpenTable<Slot, 6> table_{FreedBlock::unmapped};
};

}  // namespace quorvel
