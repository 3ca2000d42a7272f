// An allocator for the big working arrays of a reduction (hash tables,
// class lists, per-node tables). Blocks of 4 MiB or more are mapped
// directly, start on a huge-page boundary, cover whole huge pages and are
// advised to use them: these arrays are read at random positions, with huge
// pages such reads rarely miss the TLB, and a fault hands out 2 MiB at once.
// Smaller blocks come from the ordinary heap, which recycles them between
// reductions. Within one reduction, a BlockRecycling scope hands the mapped
// blocks of finished phases to the later ones.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quorvel {

namespace large_block {

// Blocks of this size or more are mapped.
inline constexpr std::size_t kMapThreshold = std::size_t{4} << 20;  // 4 MiB

// A block of bytes: mapped, huge-page aligned and advised to use huge pages
// when bytes >= kMapThreshold (where the platform can map), from the heap
// otherwise. Its contents are unspecified: a BlockRecycling scope may hand
// out a block it kept. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;

// The mapping half alone: nullptr where the platform cannot map. A mapping
// covers bytes rounded up to whole huge pages; unmap takes the same bytes.
void* map(std::size_t bytes);
void unmap(void* p, std::size_t bytes) noexcept;

// While a BlockRecycling scope lives on a thread, the mapped blocks that
// thread frees are kept instead of unmapped, and its later requests are
// served from them: the smallest kept block that is large enough, its tail
// beyond the request unmapped. A reduction's engine frees its e-graph
// tables just before CSE asks for blocks of much the same sizes; handing
// those over spares the system the work of zeroing fresh pages, which on a
// million-node graph is a large and, on some machines, very uneven part of
// the call. The scope unmaps whatever it still keeps when it ends; a block
// it handed out is an ordinary mapping of exactly the requested size, and
// may outlive it. Scopes nest: an inner one keeps nothing of its own.
class BlockRecycling {
 public:
  BlockRecycling() noexcept;
  ~BlockRecycling();
  BlockRecycling(const BlockRecycling&) = delete;
  BlockRecycling& operator=(const BlockRecycling&) = delete;

  // Unmaps every kept block now.
  void release() noexcept;
  // Bytes kept for reuse, in whole huge pages.
  std::size_t kept_bytes() const noexcept;

 private:
  friend void* allocate(std::size_t bytes);
  friend void deallocate(void* p, std::size_t bytes) noexcept;

  // The block handed over (nullptr when none is large enough), and whether
  // p was kept.
  void* take(std::size_t mapped_bytes) noexcept;
  bool keep(void* p, std::size_t mapped_bytes) noexcept;

  struct Kept {
    void* p;
    std::size_t bytes;
  };
  // A reduction frees a dozen blocks at most; a fixed array never
  // allocates, so keeping a block cannot fail (a full array unmaps it).
  static constexpr std::size_t kCapacity = 32;
  Kept kept_[kCapacity] = {};
  std::size_t count_ = 0;
  bool active_ = false;
};

}  // namespace large_block

template <class T>
class LargeBlockAllocator {
 public:
  using value_type = T;

  LargeBlockAllocator() noexcept = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}  // NOLINT: rebinding, as allocators do

  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned types are not supported");
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(large_block::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { large_block::deallocate(p, n * sizeof(T)); }

  friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator&) noexcept { return true; }
};

template <class T>
using LargeVector = std::vector<T, LargeBlockAllocator<T>>;

}  // namespace quorvel
