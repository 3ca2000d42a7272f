#include "support/large_block_allocator.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel::large_block {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Mappings cover whole huge pages: the kernel can back every part of such a
// block with huge pages, and a fault then hands out 2 MiB at once.
std::size_t mapped_size(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* map(std::size_t bytes) {
#if defined(__linux__)
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  const std::size_t size = mapped_size(bytes);
  // Map one huge page more than needed and trim both ends, so that the block
  // starts on a huge-page boundary.
  const std::size_t span = size + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
  const std::size_t head = aligned - start;
  if (head != 0) munmap(raw, head);
  const std::size_t tail = span - head - size;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
#else
  (void)bytes;
  return nullptr;
#endif
}

void unmap(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  munmap(p, mapped_size(bytes));
#else
  (void)p;
  (void)bytes;
#endif
}

void* allocate(std::size_t bytes) {
  if (bytes >= kMapThreshold) {
    if (void* p = map(bytes)) return p;
  }
  return ::operator new(bytes);
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    unmap(p, bytes);
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace quorvel::large_block
