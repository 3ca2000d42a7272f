#include "store/node_index.hpp"

#include <new>

namespace quorvel {

NodeIndex::NodeIndex() : key_(fresh_hash_key()) {}

std::optional<NodeId> NodeIndex::find(const NodeKey& key, std::uint64_t hash, const NodeArena& arena) const noexcept {
  if (size_ == 0) return std::nullopt;
  const Slot* slots = this->slots();
  const std::size_t mask = capacity_ - 1;
  const std::uint32_t tag = tag_of(hash);
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots[i];
    if (slot.id_plus_one == 0) return std::nullopt;
    if (slot.tag == tag && arena[slot.id_plus_one - 1] == key) return NodeId{slot.id_plus_one} - 1;
  }
}

void NodeIndex::reserve_one() {
  if (size_ >= kMaxEntries) throw std::bad_alloc();
  // Keep the load at or below 3/4.
  if ((size_ + 1) * 4 > capacity_ * 3) rehash(capacity_ == 0 ? 16 : capacity_ * 2);
}

void NodeIndex::reserve(std::size_t n) {
  if (n > kMaxEntries) throw std::bad_alloc();
  std::size_t capacity = capacity_ == 0 ? 16 : capacity_;
  while (n * 4 > capacity * 3) capacity *= 2;
  if (capacity != capacity_) rehash(capacity);
}

void NodeIndex::insert_reserved(std::uint64_t hash, NodeId id) noexcept {
  Slot* slots = this->slots();
  const std::size_t mask = capacity_ - 1;
  const std::uint32_t tag = tag_of(hash);
  std::size_t i = tag & mask;
  while (slots[i].id_plus_one != 0) i = (i + 1) & mask;
  slots[i] = Slot{tag, static_cast<std::uint32_t>(id + 1)};
  ++size_;
}

void NodeIndex::erase_from(NodeId first) noexcept {
  Slot* slots = this->slots();
  // One pass: a removal moves entries back only into the hole, which starts
  // at the slot being looked at and trails them, so an entry not yet looked
  // at never lands in a slot already passed (only entries already kept
  // can). The slot is looked at again after each removal.
  for (std::size_t i = 0; i < capacity_ && size_ != 0; ++i) {
    while (slots[i].id_plus_one > first) remove_at(i);
  }
}

void NodeIndex::remove_at(std::size_t hole) noexcept {
  Slot* slots = this->slots();
  const std::size_t mask = capacity_ - 1;
  // Backward shift: an entry further along the run moves into the hole
  // unless its home slot lies cyclically after the hole and up to where it
  // sits.
  for (std::size_t next = (hole + 1) & mask; slots[next].id_plus_one != 0; next = (next + 1) & mask) {
    const std::size_t home = slots[next].tag & mask;
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots[hole] = slots[next];
    hole = next;
  }
  slots[hole] = Slot{0, 0};
  --size_;
}

void NodeIndex::rehash(std::size_t new_capacity) {
  ZeroedTable fresh_table(new_capacity, sizeof(Slot));
  Slot* fresh = static_cast<Slot*>(fresh_table.data());
  const Slot* old = slots();
  const std::size_t mask = new_capacity - 1;
  for (std::size_t k = 0; k < capacity_; ++k) {
    const Slot& slot = old[k];
    if (slot.id_plus_one == 0) continue;
    std::size_t i = slot.tag & mask;
    while (fresh[i].id_plus_one != 0) i = (i + 1) & mask;
    fresh[i] = slot;
  }
  table_ = std::move(fresh_table);
  capacity_ = new_capacity;
}

}  // namespace quorvel
