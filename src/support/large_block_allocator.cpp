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

// The outermost BlockRecycling scope alive on this thread, if any.
thread_local BlockRecycling* recycling = nullptr;

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
#if defined(__linux__)
    if (recycling != nullptr && bytes <= SIZE_MAX - kHugePage) {
      if (void* p = recycling->take(mapped_size(bytes))) return p;
    }
#endif
    if (void* p = map(bytes)) return p;
  }
  return ::operator new(bytes);
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    if (recycling == nullptr || !recycling->keep(p, mapped_size(bytes))) unmap(p, bytes);
    return;
  }
#endif
  ::operator delete(p);
}

BlockRecycling::BlockRecycling() noexcept {
  if (recycling == nullptr) {
    recycling = this;
    active_ = true;
  }
}

BlockRecycling::~BlockRecycling() {
  if (!active_) return;
  release();
  recycling = nullptr;
}

void BlockRecycling::release() noexcept {
  for (std::size_t k = 0; k < count_; ++k) unmap(kept_[k].p, kept_[k].bytes);
  count_ = 0;
}

std::size_t BlockRecycling::kept_bytes() const noexcept {
  std::size_t total = 0;
  for (std::size_t k = 0; k < count_; ++k) total += kept_[k].bytes;
  return total;
}

void* BlockRecycling::take(std::size_t mapped_bytes) noexcept {
  std::size_t best = count_;
  for (std::size_t k = 0; k < count_; ++k) {
    if (kept_[k].bytes >= mapped_bytes && (best == count_ || kept_[k].bytes < kept_[best].bytes)) best = k;
  }
  if (best == count_) return nullptr;
  const Kept block = kept_[best];
  kept_[best] = kept_[--count_];
  // Both sizes are whole huge pages: the tail is a mapping of its own.
  if (block.bytes > mapped_bytes) unmap(static_cast<char*>(block.p) + mapped_bytes, block.bytes - mapped_bytes);
  return block.p;
}

bool BlockRecycling::keep(void* p, std::size_t mapped_bytes) noexcept {
  if (count_ == kCapacity) return false;
  kept_[count_++] = Kept{p, mapped_bytes};
  return true;
}

}  // namespace quorvel::large_block
