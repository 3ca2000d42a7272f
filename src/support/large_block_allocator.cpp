#include "support/large_block_allocator.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel::large_block {

void* map(std::size_t bytes) {
#if defined(__linux__)
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
#else
  (void)bytes;
  return nullptr;
#endif
}

void unmap(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  munmap(p, bytes);
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
