// An allocator for the big working arrays of a reduction (hash tables,
// class lists, per-node tables). Blocks of 4 MiB or more are mapped
// directly, start on a huge-page boundary, cover whole huge pages and are
// advised to use them: these arrays are read at random positions, with huge
// pages such reads rarely miss the TLB, and a fault hands out 2 MiB at once.
// Smaller blocks come from the ordinary heap, which recycles them between
// reductions.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quorvel {

namespace large_block {

// Blocks of this size or more are mapped.
inline constexpr std::size_t kMapThreshold = std::size_t{4} << 20;  // 4 MiB

// A block of bytes: mapped, zero-filled, huge-page aligned and advised to
// use huge pages when bytes >= kMapThreshold (or nullptr where the platform
// cannot map), from the heap otherwise. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;

// The mapping half alone: nullptr where the platform cannot map. A mapping
// covers bytes rounded up to whole huge pages; unmap takes the same bytes.
void* map(std::size_t bytes);
void unmap(void* p, std::size_t bytes) noexcept;

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
