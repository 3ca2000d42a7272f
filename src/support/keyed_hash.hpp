// The keyed hash of every table fed by caller-controlled content: the
// store's index, the incremental reducer's hashcons and the symbol table.
//
// The cheap folds of hash_mix.hpp are linear enough that colliding inputs
// can be written down without knowing the seed, so a caller (or a blob from
// outside the process) could fill one probe chain with as many keys as it
// likes. This is SipHash-1-3 (the 2-4 variant exists for its published test
// vectors): a pseudo-random function of a 128-bit secret key, so without the
// key no input pair is more likely to collide than any other.
//
// Messages are streams of 64-bit words. Every record encoding fed through it
// must be injective (lengths before variable parts), so distinct keys never
// become the same word stream; the final block carries the word count.
// Hash values serve lookups only: nothing observable may depend on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvel {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// A random key drawn once per process.
const HashKey& process_hash_key() noexcept;
// A key for one table: a pseudo-random function (this hash under the process
// key) of a per-process counter, so tables do not share a key.
HashKey fresh_hash_key() noexcept;

template <int CompressionRounds, int FinalRounds>
class SipHasher {
 public:
  explicit SipHasher(const HashKey& key) noexcept
      : v0_(key.k0 ^ 0x736f6d6570736575ULL),
        v1_(key.k1 ^ 0x646f72616e646f6dULL),
        v2_(key.k0 ^ 0x6c7967656e657261ULL),
        v3_(key.k1 ^ 0x7465646279746573ULL) {}

  void word(std::uint64_t m) noexcept {
    v3_ ^= m;
    for (int i = 0; i < CompressionRounds; ++i) round();
    v0_ ^= m;
    ++words_;
  }

  // A byte string, length first.
  void bytes(std::string_view text) noexcept {
    word(text.size());
    raw_bytes(text);
  }

  // A byte string whose length the caller has already fed (packed into a
  // word with other fields). Eight bytes a word; the last partial word is
  // read with overlapping loads, as combine_bytes does, which the known
  // length keeps unambiguous.
  void raw_bytes(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t size = text.size();
    std::size_t n = size;
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      word(w);
      p += 8;
      n -= 8;
    }
    if (n == 0) return;
    std::uint64_t w;
    if (size >= 8) {
      std::memcpy(&w, p + n - 8, 8);
    } else if (n >= 4) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      w = static_cast<std::uint64_t>(hi) << 32 | lo;
    } else {
      const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
      w = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
    }
    word(w);
  }

  // The hash of the words so far; as the reference algorithm over the
  // words' little-endian bytes.
  std::uint64_t finish() const noexcept {
    SipHasher s = *this;
    const std::uint64_t b = static_cast<std::uint64_t>(s.words_ * 8) << 56;
    s.v3_ ^= b;
    for (int i = 0; i < CompressionRounds; ++i) s.round();
    s.v0_ ^= b;
    s.v2_ ^= 0xff;
    for (int i = 0; i < FinalRounds; ++i) s.round();
    return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
  }

 private:
  static constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return x << b | x >> (64 - b); }

  void round() noexcept {
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t words_ = 0;
};

using KeyedHasher = SipHasher<1, 3>;

// The keyed hash of one value with a hash_into(KeyedHasher&) member.
template <class T>
std::uint64_t keyed_hash_of(const T& value, const HashKey& key) noexcept {
  KeyedHasher hasher(key);
  value.hash_into(hasher);
  return hasher.finish();
}

}  // namespace quorvel
