// The interning table: open addressing over (hash, id) slots. Keys are not
// copied into the table; a probe compares against the key in the arena.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "node/node_key.hpp"
#include "store/node_arena.hpp"

namespace quorvel {

class NodeIndex {
 public:
  // A fresh random seed for every table: hash values serve only lookups and
  // never decide an order.
  NodeIndex();

  std::uint64_t hash(const NodeKey& key) const noexcept { return key.hash(seed_); }

  std::optional<NodeId> find(const NodeKey& key, std::uint64_t hash, const NodeArena& arena) const noexcept;

  // Makes room for one more entry; the only step of an insert that allocates.
  void reserve_one();
  // Inserts after reserve_one(); does not allocate.
  void insert_reserved(std::uint64_t hash, NodeId id) noexcept;

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint64_t id_plus_one;  // 0 marks an empty slot
  };

  void rehash(std::size_t new_capacity);

  const std::uint64_t seed_;  // fixed at construction; read without the store lock
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace quorvel
