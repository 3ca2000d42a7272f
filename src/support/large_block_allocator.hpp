// An allocator for the big working arrays of a reduction (hash tables,
// class lists, per-node tables). Blocks of 4 MiB or more are mapped
// directly and advised to use huge pages: these arrays are read at random
// positions, and with huge pages such reads rarely miss the TLB. Smaller
// blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quorvel {

namespace large_block {

// Blocks of this size or more are mapped.
inline constexpr std::size_t kMapThreshold = std::size_t{1} << 20;  // 1 MiB

// A block of bytes: mapped, zero-filled and advised to use huge pages when
// bytes >= kMapThreshold (or nullptr where the platform cannot map), from
// the heap otherwise. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;

// The mapping half alone: nullptr where the platform cannot map.
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
