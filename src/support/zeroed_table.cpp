#include "support/zeroed_table.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel {

namespace {
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;  // 4 MiB
}

ZeroedTable::ZeroedTable(std::size_t count, std::size_t size) {
  if (count == 0) return;
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) throw std::bad_alloc();
  const std::size_t bytes = count * size;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    data_ = p;
    bytes_ = bytes;
    mapped_ = true;
    return;
  }
#endif
  data_ = std::calloc(count, size);
  if (data_ == nullptr) throw std::bad_alloc();
  bytes_ = bytes;
}

ZeroedTable::~ZeroedTable() {
  if (data_ == nullptr) return;
#if defined(__linux__)
  if (mapped_) {
    munmap(data_, bytes_);
    return;
  }
#endif
  std::free(data_);
}

}  // namespace quorvel
