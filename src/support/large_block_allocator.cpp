#include "support/large_block_allocator.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel::large_block {

namespace {
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;  // 4 MiB
}

void* allocate(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
  }
#endif
  return ::operator new(bytes);
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    munmap(p, bytes);
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace quorvel::large_block
