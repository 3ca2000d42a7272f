// An allocator for the big working arrays of a reduction (hash tables,
// class lists, per-node tables). Blocks of 4 MiB or more are mapped
// directly, start on a huge-page boundary, cover whole huge pages and are
// advised to use them: these arrays are read at random positions, with huge
// pages such reads rarely miss the TLB, and a fault hands out 2 MiB at once.
// Smaller blocks come from the ordinary heap, which recycles them between
// reductions.
//
// Freed mapped blocks are kept for reuse, process-wide, up to kKeepLimit
// bytes in all, instead of being unmapped. A reduction frees its engine's
// tables just before CSE asks for blocks of much the same sizes, and the
// next reduction asks for the blocks the previous one freed. Fresh pages
// are costly: the system zeroes every one, and on a virtual machine whose
// host takes back the memory a guest frees, each must first be backed
// again, which made a million-node reduction up to half as slow again after
// a pause of a second or two. Kept blocks are handed to the kernel as
// lazily freed (MADV_FREE): they stay mapped and are reused without a
// fault, but under memory pressure the kernel takes their pages back
// without writing them anywhere. release_kept() unmaps them all at once,
// and so does any request of this allocator that fails while blocks are
// kept, before it is tried once more.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quorvel {

namespace large_block {

// Blocks of this size or more are mapped.
inline constexpr std::size_t kMapThreshold = std::size_t{4} << 20;  // 4 MiB

// Freed mapped blocks are kept up to this many bytes in all; a block that
// would go beyond it is unmapped.
inline constexpr std::size_t kKeepLimit = std::size_t{1} << 30;  // 1 GiB

// A block of bytes: mapped, huge-page aligned and advised to use huge pages
// when bytes >= kMapThreshold (where the platform can map), from the heap
// otherwise. Its contents are unspecified: it may be a kept block. A
// request is served by the smallest kept block that is large enough (the
// rest of that block stays kept), or mapped afresh. When that fails, every
// kept block is unmapped and the request tried once more; throws
// std::bad_alloc if it fails again.
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;
// The same, but a mapped block is unmapped at once instead of kept: for
// blocks that the next request is unlikely to fit, such as a long-lived
// table's storage superseded by a larger one.
void deallocate_unkept(void* p, std::size_t bytes) noexcept;

// A mapped block of bytes >= kMapThreshold with every byte zero, freed with
// deallocate: a kept block cleared, or a fresh mapping, which the kernel
// hands out zeroed. nullptr where the platform cannot map. Throws
// std::bad_alloc.
void* allocate_zeroed(std::size_t bytes);

// Bytes of freed mapped blocks kept for reuse, in whole huge pages.
std::size_t kept_bytes() noexcept;
// Unmaps every kept block; returns the bytes unmapped.
std::size_t release_kept() noexcept;

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
