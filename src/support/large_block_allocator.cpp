#include "support/large_block_allocator.hpp"

#include <cstdint>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

#include "support/asan_poison.hpp"
#include "support/block_cache.hpp"

namespace quorvel::large_block {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Mappings cover whole huge pages: the kernel can back every part of such a
// block with huge pages, and a fault then hands out 2 MiB at once.
std::size_t mapped_size(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

#if defined(__linux__)

void* map_fresh(std::size_t size) {
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
}

// The freed mapped blocks kept for reuse. Ranges that touch are joined, so
// that blocks split for small requests serve a large one again once all
// their parts are back. A fixed array never allocates: keeping a block
// cannot fail, and a full array (a reduction frees a few dozen blocks at
// most) unmaps the block instead.
class KeptBlocks {
 public:
  // The first mapped_bytes of the smallest kept range that holds them, the
  // rest of that range staying kept; nullptr when none is large enough.
  void* take(std::size_t mapped_bytes) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::size_t best = count_;
    for (std::size_t k = 0; k < count_; ++k) {
      if (ranges_[k].bytes >= mapped_bytes && (best == count_ || ranges_[k].bytes < ranges_[best].bytes)) best = k;
    }
    if (best == count_) return nullptr;
    Range& range = ranges_[best];
    char* p = range.p;
    range.p += mapped_bytes;
    range.bytes -= mapped_bytes;
    total_ -= mapped_bytes;
    if (range.bytes == 0) range = ranges_[--count_];
    return p;
  }

  // Whether [p, p + mapped_bytes) was kept; the caller unmaps it otherwise.
  bool keep(char* p, std::size_t mapped_bytes) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (mapped_bytes > kKeepLimit - total_) return false;
    std::size_t joined = count_;  // the range p joined, if any
    for (std::size_t k = 0; k < count_; ++k) {
      Range& range = ranges_[k];
      if (range.p + range.bytes == p) {
        range.bytes += mapped_bytes;
        joined = k;
        break;
      }
      if (p + mapped_bytes == range.p) {
        range.p = p;
        range.bytes += mapped_bytes;
        joined = k;
        break;
      }
    }
    if (joined == count_) {
      if (count_ == kCapacity) return false;
      ranges_[count_++] = Range{p, mapped_bytes};
    } else {
      // The grown range may now touch another one on its other side.
      Range& grown = ranges_[joined];
      for (std::size_t k = 0; k < count_; ++k) {
        if (k == joined) continue;
        Range& other = ranges_[k];
        if (grown.p + grown.bytes == other.p || other.p + other.bytes == grown.p) {
          grown.p = grown.p < other.p ? grown.p : other.p;
          grown.bytes += other.bytes;
          other = ranges_[--count_];
          break;
        }
      }
    }
    total_ += mapped_bytes;
    return true;
  }

  std::size_t total() noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    return total_;
  }

  std::size_t release() noexcept {
    Range taken[kCapacity];
    std::size_t count = 0;
    std::size_t total = 0;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      count = count_;
      total = total_;
      std::memcpy(taken, ranges_, count * sizeof(Range));
      count_ = 0;
      total_ = 0;
    }
    for (std::size_t k = 0; k < count; ++k) {
      QUORVEL_UNPOISON(taken[k].p, taken[k].bytes);
      munmap(taken[k].p, taken[k].bytes);
    }
    return total;
  }

  // Fork handlers: the child gets the lock in a known, free state.
  void lock() noexcept { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

 private:
  struct Range {
    char* p;
    std::size_t bytes;
  };
  static constexpr std::size_t kCapacity = 64;

  std::mutex mutex_;
  Range ranges_[kCapacity] = {};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

constinit KeptBlocks kept;

void register_fork_handlers() {
  static const bool registered = [] {
    pthread_atfork([] { kept.lock(); }, [] { kept.unlock(); }, [] { kept.unlock(); });
    return true;
  }();
  (void)registered;
}

// Runs allocate(); when it fails while blocks are kept, hands them all back
// to the system and runs it once more: under a limit on the address space
// (or with memory short) the kept blocks may be what stands in the way.
template <class Allocate>
void* with_kept_released(Allocate allocate) {
  try {
    return allocate();
  } catch (const std::bad_alloc&) {
    // The store's kept heap chunks count too.
    if (kept.release() + block_cache::release_kept() == 0) throw;
  }
  return allocate();
}

void* map_block(std::size_t bytes, bool zeroed) {
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  const std::size_t size = mapped_size(bytes);
  if (void* p = kept.take(size)) {
    QUORVEL_UNPOISON(p, size);
    if (zeroed) std::memset(p, 0, size);
    return p;
  }
  register_fork_handlers();
  return with_kept_released([size] { return map_fresh(size); });
}

#endif  // __linux__

}  // namespace

void* allocate(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kMapThreshold) return map_block(bytes, false);
  return with_kept_released([bytes] { return ::operator new(bytes); });
#else
  return ::operator new(bytes);
#endif
}

void* allocate_zeroed(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kMapThreshold) return map_block(bytes, true);
#endif
  (void)bytes;
  return nullptr;
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    const std::size_t size = mapped_size(bytes);
    // Lazily freed before it is kept: once another thread may take the
    // block, advice given now could discard what that thread writes.
#ifdef MADV_FREE
    madvise(p, size, MADV_FREE);
#endif
    QUORVEL_POISON(p, size);
    if (!kept.keep(static_cast<char*>(p), size)) {
      QUORVEL_UNPOISON(p, size);
      munmap(p, size);
    }
    return;
  }
#endif
  ::operator delete(p);
}

void deallocate_unkept(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMapThreshold) {
    munmap(p, mapped_size(bytes));
    return;
  }
#endif
  ::operator delete(p);
}

std::size_t kept_bytes() noexcept {
#if defined(__linux__)
  return kept.total();
#else
  return 0;
#endif
}

std::size_t release_kept() noexcept {
#if defined(__linux__)
  return kept.release();
#else
  return 0;
#endif
}

}  // namespace quorvel::large_block
