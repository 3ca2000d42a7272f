// OpenTable: the one open-addressing hash table of the code base.
//
// A power-of-two array of small slots with linear probing, filled to at most
// five eighths (a table may choose another limit, in eighths). The table
// knows neither keys nor hashes: a slot holds whatever its owner chooses
// (typically a few bits of the hash and a position in storage of the
// owner's), a lookup is given the hash and a predicate that compares a slot
// with the borrowed key, and growth is given a function that recomputes,
// from a slot alone, the hash it was filed under. So keys are never copied into the table, and one table serves the
// store's index, the engine's tables and the symbol tables alike.
//
// A slot whose bytes are all zero is empty; every other slot is occupied
// (slots that need to file a zero value store it plus one). Storage comes
// zeroed, from the kernel for large tables, so neither creation nor growth
// writes the empty slots. Entries are found by their slot's contents only,
// so the order of the array decides nothing outside the table.
//
// A lookup costs one probe run; a failed insert (out of memory) leaves the
// table as it was.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "support/zeroed_table.hpp"

namespace quorvel {

template <class Slot, unsigned kMaxLoadEighths = 5>
class OpenTable {
  static_assert(std::is_trivially_copyable_v<Slot>, "slots are moved as bytes");
  static_assert(std::has_unique_object_representations_v<Slot>, "a slot's bytes tell whether it is empty");
  static_assert(kMaxLoadEighths >= 1 && kMaxLoadEighths <= 7, "a table keeps an empty slot to end every probe");

 public:
  // The smallest table that is allocated.
  static constexpr std::size_t kMinCapacity = 16;

  OpenTable() noexcept = default;
  // A table whose superseded storage, when it grows, goes back to the
  // system at once (see FreedBlock). Its last storage, when the table is
  // freed, is kept like any other table's: the next table of that size
  // (the next store read from a blob, a reduction's tables) reuses it.
  explicit OpenTable(FreedBlock freed) noexcept : freed_(freed) {}

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t capacity_bytes() const noexcept { return storage_.bytes(); }

  static bool is_empty(const Slot& slot) noexcept {
    Slot zero;
    std::memset(static_cast<void*>(&zero), 0, sizeof zero);
    return std::memcmp(&slot, &zero, sizeof slot) == 0;
  }

  // The most entries a table of this capacity holds.
  static constexpr std::size_t max_entries(std::size_t capacity) noexcept { return capacity / 8 * kMaxLoadEighths; }
  // The capacity that holds n entries.
  static std::size_t capacity_for(std::size_t n) {
    if (n > (std::size_t{1} << 58)) throw std::bad_alloc();
    std::size_t capacity = kMinCapacity;
    while (max_entries(capacity) < n) capacity *= 2;
    return capacity;
  }

  // The slot a lookup of hash begins at, for a prefetch; nullptr before
  // the first allocation. (A caller that prefetches in a loop issues the
  // prefetch itself: a member function doing nothing else may be taken for
  // one without effects, and its calls dropped.)
  const Slot* home_slot(std::uint64_t hash) const noexcept {
    return capacity_ == 0 ? nullptr : slots() + (hash & (capacity_ - 1));
  }
  // Starts loading the slot a lookup of hash begins at.
  void prefetch(std::uint64_t hash) const noexcept {
    if (capacity_ != 0) __builtin_prefetch(slots() + (hash & (capacity_ - 1)));
  }

  // The occupied slot for which matches(slot) holds, or nullptr. Probes the
  // run that starts at hash's home slot.
  template <class Matches>
  const Slot* find(std::uint64_t hash, Matches&& matches) const {
    if (size_ == 0) return nullptr;
    const std::size_t mask = capacity_ - 1;
    const Slot* slots = this->slots();
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots[i];
      if (is_empty(slot)) return nullptr;
      if (matches(slot)) return &slot;
    }
  }
  template <class Matches>
  Slot* find(std::uint64_t hash, Matches&& matches) {
    return const_cast<Slot*>(std::as_const(*this).find(hash, matches));
  }

  // The result of find_or_room: the matching slot (found), or the empty
  // slot where the key belongs, which fill() then takes.
  struct Probe {
    Slot* slot;
    bool found;
  };

  // The slot matching the key, or room for it: when the key is absent, a
  // table that could not take one more entry grows first (through
  // hash_of, see grow), so the returned empty slot can be filled without
  // allocating. Growing may throw std::bad_alloc, before anything changed.
  template <class Matches, class HashOf>
  Probe find_or_room(std::uint64_t hash, Matches&& matches, HashOf&& hash_of) {
    if (capacity_ != 0) {
      const std::size_t mask = capacity_ - 1;
      Slot* slots = this->slots();
      std::size_t i = hash & mask;
      for (; !is_empty(slots[i]); i = (i + 1) & mask) {
        if (matches(slots[i])) return Probe{&slots[i], true};
      }
      if (size_ < max_entries(capacity_)) return Probe{&slots[i], false};
    }
    reserve(size_ + 1, hash_of);
    return Probe{empty_slot_for(hash), false};
  }

  // Fills an empty slot that find_or_room returned. value must not be the
  // empty (all-zero) slot.
  void fill(Slot* empty, const Slot& value) noexcept {
    *empty = value;
    ++size_;
  }

  // Inserts an entry whose key is known to be absent, into room made
  // beforehand by reserve(). Does not allocate.
  void insert_new(std::uint64_t hash, const Slot& value) noexcept { fill(empty_slot_for(hash), value); }

  // Makes room for n entries in all, growing to the capacity that holds
  // them; hash_of(slot) gives the hash an occupied slot was filed under
  // (only the bits below the capacity are used). May throw std::bad_alloc,
  // leaving the table as it was.
  template <class HashOf>
  void reserve(std::size_t n, HashOf&& hash_of) {
    if (n <= max_entries(capacity_)) return;
    rehash(capacity_for(n), hash_of);
  }

  // Removes every entry for which drop(slot) holds, in one pass over the
  // array, moving later entries of a run back into each hole (backward
  // shift: no tombstones, so lookups stay as short as before). Does not
  // allocate.
  template <class Drop, class HashOf>
  void erase_if(Drop&& drop, HashOf&& hash_of) noexcept {
    Slot* slots = this->slots();
    // A removal moves entries back only into the hole, which starts at the
    // slot being looked at and trails them, so an entry not yet looked at
    // never lands in a slot already passed. The slot is looked at again
    // after each removal.
    for (std::size_t i = 0; i < capacity_ && size_ != 0; ++i) {
      while (!is_empty(slots[i]) && drop(slots[i])) remove_at(i, hash_of);
    }
  }

  // Visits every occupied slot, in array order (which depends on hashes:
  // use it only where the order cannot show).
  template <class Visit>
  void for_each(Visit&& visit) const {
    const Slot* slots = this->slots();
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (!is_empty(slots[i])) visit(slots[i]);
    }
  }

 private:
  Slot* slots() const noexcept { return static_cast<Slot*>(storage_.data()); }

  Slot* empty_slot_for(std::uint64_t hash) noexcept {
    const std::size_t mask = capacity_ - 1;
    Slot* slots = this->slots();
    std::size_t i = hash & mask;
    while (!is_empty(slots[i])) i = (i + 1) & mask;
    return &slots[i];
  }

  template <class HashOf>
  void rehash(std::size_t new_capacity, HashOf& hash_of) {
    ZeroedTable fresh_storage(new_capacity, sizeof(Slot));
    Slot* fresh = static_cast<Slot*>(fresh_storage.data());
    const Slot* old = slots();
    const std::size_t mask = new_capacity - 1;
    for (std::size_t k = 0; k < capacity_; ++k) {
      if (is_empty(old[k])) continue;
      std::size_t i = hash_of(old[k]) & mask;
      while (!is_empty(fresh[i])) i = (i + 1) & mask;
      fresh[i] = old[k];
    }
    storage_.set_freed(freed_);
    storage_ = std::move(fresh_storage);  // the old storage is freed with fresh_storage
    capacity_ = new_capacity;
  }

  // Empties slot hole, moving later entries of its run back: an entry
  // further along moves into the hole unless its home slot lies cyclically
  // after the hole and up to where it sits.
  template <class HashOf>
  void remove_at(std::size_t hole, HashOf& hash_of) noexcept {
    Slot* slots = this->slots();
    const std::size_t mask = capacity_ - 1;
    for (std::size_t next = (hole + 1) & mask; !is_empty(slots[next]); next = (next + 1) & mask) {
      const std::size_t home = hash_of(slots[next]) & mask;
      const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
      if (stays) continue;
      slots[hole] = slots[next];
      hole = next;
    }
    std::memset(static_cast<void*>(&slots[hole]), 0, sizeof(Slot));
    --size_;
  }

  ZeroedTable storage_;
  FreedBlock freed_ = FreedBlock::kept;
  std::size_t capacity_ = 0;  // a power of two, or 0
  std::size_t size_ = 0;
};

}  // namespace quorvel
