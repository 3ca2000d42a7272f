// Append-only storage of node keys in fixed-size chunks: keys never move
// once stored, and growing never copies the keys already there.
//
// The first 64 chunks (262,144 keys) come from the heap one by one, kept
// between stores by the block cache: stores of that size are made and
// freed call after call (a cone, a reduction, a blob read again), and the
// C library, left to itself, maps chunks of that size afresh every time. A
// store that outgrows them is a large one, whose keys are written from end
// to end into fresh memory: its later chunks come 64 at a time in one
// block mapped on huge-page boundaries and advised to use them (64 chunks
// of 72-byte keys are nine huge pages exactly), since faulting fresh memory
// in 4 KiB pages cost about a sixth of building a large store or reading
// it from a blob. At most the last huge page written holds room not yet
// used. Freed blocks go back to the large-block allocator's kept blocks,
// like a reduction's working tables, for the next large store or table.
#pragma once

#include <cstddef>
#include <vector>

#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "support/block_cache.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

class NodeArena {
 public:
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  // Chunks from the heap, one by one, before the mapped blocks start.
  static constexpr std::size_t kHeapChunks = 64;
  // Chunks per mapped block.
  static constexpr std::size_t kChunksPerBlock = 64;

  std::size_t size() const noexcept { return size_; }

  const NodeKey& operator[](std::size_t i) const noexcept {
    return chunks_[i >> kChunkBits][i & (kChunkSize - 1)].key;
  }

  // Makes room for one more key; the only step of an append that allocates,
  // so a failed allocation leaves the arena as it was.
  void reserve_one() {
    if ((size_ & (kChunkSize - 1)) == 0 && (size_ >> kChunkBits) == chunks_.size()) add_chunk();
  }

  // Makes room for n keys in all (a hint for bulk filling).
  void reserve(std::size_t n) {
    const std::size_t chunks = (n + kChunkSize - 1) >> kChunkBits;
    chunks_.reserve(chunks);
    while (chunks_.size() < chunks) add_chunk();
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
    for (std::size_t k = 0; k < chunks_.size() && k < kHeapChunks; ++k) {
      block_cache::deallocate(chunks_[k], kChunkBytes);
    }
    for (void* block : blocks_) large_block::deallocate(block, kBlockBytes);
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

  static constexpr std::size_t kChunkBytes = kChunkSize * sizeof(Slot);
  static constexpr std::size_t kBlockBytes = kChunksPerBlock * kChunkBytes;
  // Whole huge pages, so that no page of a block is shared with another
  // use of the allocator.
  static_assert(sizeof(void*) != 8 || kBlockBytes % (std::size_t{2} << 20) == 0);

  // Adds one chunk; may throw std::bad_alloc, leaving the arena as it was.
  void add_chunk() {
    // Room first, so that pushing the chunk cannot fail once it exists.
    chunks_.reserve(chunks_.size() + 1);
    if (chunks_.size() < kHeapChunks) {
      chunks_.push_back(static_cast<Slot*>(block_cache::allocate(kChunkBytes)));
      return;
    }
    const std::size_t in_block = (chunks_.size() - kHeapChunks) % kChunksPerBlock;
    if (in_block == 0) {
      blocks_.reserve(blocks_.size() + 1);
      blocks_.push_back(large_block::allocate(kBlockBytes));
    }
    chunks_.push_back(static_cast<Slot*>(blocks_.back()) + in_block * kChunkSize);
  }

  std::vector<Slot*> chunks_;       // the heap chunk, then chunks in the mapped blocks
  std::vector<void*> blocks_;       // the mapped blocks, kBlockBytes each
  std::size_t size_ = 0;
};

}  // namespace quorvel
