#include "support/page_prefault.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel {

namespace {

constexpr std::uintptr_t kPage = 4096;

#if defined(__linux__)
// The advice's number, for headers older than the kernels that know it.
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif
#endif

}  // namespace

void prefault_for_writing(char* begin, char* end) noexcept {
#if defined(__linux__)
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(kPage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite);
#else
  (void)begin;
  (void)end;
#endif
}

}  // namespace quorvel
