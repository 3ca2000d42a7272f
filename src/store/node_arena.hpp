// Append-only storage of node keys in fixed-size chunks: keys never move
// once stored, and growing never copies the keys already there.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "node/node_key.hpp"
#include "node/node_list.hpp"

namespace quorvel {

class NodeArena {
 public:
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

  std::size_t size() const noexcept { return size_; }

  const NodeKey& operator[](std::size_t i) const noexcept {
    return chunks_[i >> kChunkBits][i & (kChunkSize - 1)].key;
  }

  // Makes room for one more key; the only step of an append that allocates,
  // so a failed allocation leaves the arena as it was.
  void reserve_one() {
    if ((size_ & (kChunkSize - 1)) == 0 && (size_ >> kChunkBits) == chunks_.size()) {
      chunks_.push_back(std::make_unique<Slot[]>(kChunkSize));
    }
  }

  // Makes room for n keys in all (a hint for bulk filling).
  void reserve(std::size_t n) {
    const std::size_t chunks = (n + kChunkSize - 1) >> kChunkBits;
    chunks_.reserve(chunks);
    while (chunks_.size() < chunks) chunks_.push_back(std::make_unique<Slot[]>(kChunkSize));
  }

  // Appends after reserve_one(); does not allocate.
  void append_reserved(NodeKey&& key) noexcept {
    Slot& slot = chunks_[size_ >> kChunkBits][size_ & (kChunkSize - 1)];
    new (&slot.key) NodeKey(std::move(key));
    ++size_;
  }

  // Destroys the keys from position n on (n <= size()); their room stays
  // reserved. For undoing appends that no list has been taken of.
  void truncate(std::size_t n) noexcept {
    while (size_ > n) {
      --size_;
      chunks_[size_ >> kChunkBits][size_ & (kChunkSize - 1)].key.~NodeKey();
    }
  }

  // The first n keys (n <= size()) without copying them: the chunk
  // addresses are copied, and keys never move, so the list stays valid
  // while the arena lives, whatever is appended meanwhile.
  NodeList prefix(std::size_t n) const {
    std::vector<const NodeKey*> chunks;
    const std::size_t count = (n + kChunkSize - 1) >> kChunkBits;
    chunks.reserve(count);
    for (std::size_t k = 0; k < count; ++k) chunks.push_back(&chunks_[k][0].key);
    return NodeList(std::move(chunks), kChunkBits, n);
  }

  NodeArena() = default;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;
  ~NodeArena() {
    for (std::size_t i = 0; i < size_; ++i) {
      chunks_[i >> kChunkBits][i & (kChunkSize - 1)].key.~NodeKey();
    }
  }

 private:
  // Raw storage for one key; constructed on append, destroyed with the arena.
  // A chunk is therefore laid out exactly as an array of keys.
  union Slot {
    Slot() {}
    ~Slot() {}
    NodeKey key;
  };
  static_assert(sizeof(Slot) == sizeof(NodeKey) && alignof(Slot) == alignof(NodeKey));

  std::vector<std::unique_ptr<Slot[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace quorvel
