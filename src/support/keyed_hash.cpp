#include "support/keyed_hash.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

#include <unistd.h>

namespace quorvel {

const HashKey& process_hash_key() noexcept {
  static const HashKey key = [] {
    // getentropy reads the kernel's generator (and, unlike
    // std::random_device, needs no C library newer than 2.25, which keeps
    // the wheels' manylinux tag low). The clock and an address (randomised
    // at load) stand in where it fails, and are mixed in anyway.
    HashKey k;
    std::uint64_t words[2] = {0, 0};
    if (getentropy(words, sizeof words) == 0) k = HashKey{words[0], words[1]};
    k.k0 ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&k));
    k.k1 ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return k;
  }();
  return key;
}

HashKey fresh_hash_key() noexcept {
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  KeyedHasher first(process_hash_key());
  first.word(2 * n);
  KeyedHasher second(process_hash_key());
  second.word(2 * n + 1);
  return HashKey{first.finish(), second.finish()};
}

}  // namespace quorvel
