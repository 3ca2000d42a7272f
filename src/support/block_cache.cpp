#include "support/block_cache.hpp"

#include <mutex>
#include <new>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "support/asan_poison.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel::block_cache {

namespace {

// A fixed array never allocates, so keeping a block cannot fail; a full
// array deletes the block instead.
class Kept {
 public:
  // A kept block of exactly `bytes`, or nullptr.
  void* take(std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t k = count_; k-- > 0;) {
      if (blocks_[k].bytes != bytes) continue;
      void* p = blocks_[k].p;
      blocks_[k] = blocks_[--count_];
      total_ -= bytes;
      return p;
    }
    return nullptr;
  }

  // Whether p was kept; the caller deletes it otherwise.
  bool keep(void* p, std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (count_ == kCapacity || bytes > kKeptBytes - total_) return false;
    blocks_[count_++] = Block{p, bytes};
    total_ += bytes;
    return true;
  }

  std::size_t total() noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    return total_;
  }

  std::size_t release() noexcept {
    Block taken[kCapacity];
    std::size_t count = 0;
    std::size_t total = 0;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      count = count_;
      total = total_;
      for (std::size_t k = 0; k < count; ++k) taken[k] = blocks_[k];
      count_ = 0;
      total_ = 0;
    }
    for (std::size_t k = 0; k < count; ++k) {
      QUORVEL_UNPOISON(taken[k].p, taken[k].bytes);
      ::operator delete(taken[k].p);
    }
    return total;
  }

  // Fork handlers: the child gets the lock in a known, free state.
  void lock() noexcept { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

 private:
  struct Block {
    void* p;
    std::size_t bytes;
  };
  static constexpr std::size_t kCapacity = 256;

  std::mutex mutex_;
  Block blocks_[kCapacity] = {};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

constinit Kept kept;

void register_fork_handlers() {
#if defined(__linux__)
  static const bool registered = [] {
    pthread_atfork([] { kept.lock(); }, [] { kept.unlock(); }, [] { kept.unlock(); });
    return true;
  }();
  (void)registered;
#endif
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (void* p = kept.take(bytes)) {
    QUORVEL_UNPOISON(p, bytes);
    return p;
  }
  try {
    return ::operator new(bytes);
  } catch (const std::bad_alloc&) {
    // The kept blocks, these and the large ones, may be what stands in the
    // way.
    if (release_kept() + large_block::release_kept() == 0) throw;
  }
  return ::operator new(bytes);
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  register_fork_handlers();
  QUORVEL_POISON(p, bytes);
  if (!kept.keep(p, bytes)) {
    QUORVEL_UNPOISON(p, bytes);
    ::operator delete(p);
  }
}

std::size_t kept_bytes() noexcept { return kept.total(); }

std::size_t release_kept() noexcept { return kept.release(); }

}  // namespace quorvel::block_cache
