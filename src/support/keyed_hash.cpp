#include "support/keyed_hash.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

namespace quorvel {

const HashKey& process_hash_key() noexcept {
  static const HashKey key = [] {
    // random_device reads the kernel's generator. The clock and an address
    // (randomised at load) stand in where it is missing or fails, and are
    // mixed in anyway against a device that is deterministic.
    HashKey k;
    try {
      std::random_device device;
      const auto word = [&] { return std::uint64_t{device()} << 32 | device(); };
      k = HashKey{word(), word()};
    } catch (...) {
    }
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
