// Small, fixed hash building blocks for tables whose words no caller
// chooses (the rewrite engine's, over symbol handles and class ids). A table
// fed by caller-controlled content uses the keyed hash of keyed_hash.hpp
// instead: these can be made to collide whatever their seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvel {

// Final avalanche of a 64-bit value (the splitmix64 finaliser).
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// Folds one 64-bit word into a running hash state.
constexpr std::uint64_t hash_combine(std::uint64_t state, std::uint64_t word) noexcept {
  return mix64(state ^ (word + 0x9e3779b97f4a7c15ULL + (state << 6) + (state >> 2)));
}

// A cheaper fold for hashing long records word by word: one rotate, xor and
// multiply per word. Its low bits are weak, so the record's hash must be
// finished with mix64() before it selects a table slot.
constexpr std::uint64_t fold_word(std::uint64_t state, std::uint64_t word) noexcept {
  return ((state << 5 | state >> 59) ^ word) * 0x9e3779b97f4a7c15ULL;
}

// Feeds a byte string to a word combiner eight bytes at a time, length
// first. The last partial word is read with overlapping loads instead of a
// byte loop or a copy call (the length, fed first, keeps strings that share
// those bytes apart).
template <class Combine>
inline std::uint64_t combine_bytes(std::uint64_t state, std::string_view bytes, Combine combine) noexcept {
  const char* p = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t n = size;
  state = combine(state, n);
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = combine(state, word);
    p += 8;
    n -= 8;
  }
  if (n == 0) return state;
  std::uint64_t word;
  if (size >= 8) {
    std::memcpy(&word, p + n - 8, 8);  // the last eight bytes of the string
  } else if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    word = static_cast<std::uint64_t>(hi) << 32 | lo;
  } else {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    word = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
  }
  return combine(state, word);
}

// Byte strings through the two combiners.
inline std::uint64_t hash_bytes(std::uint64_t state, std::string_view bytes) noexcept {
  return combine_bytes(state, bytes, hash_combine);
}
inline std::uint64_t fold_bytes(std::uint64_t state, std::string_view bytes) noexcept {
  return combine_bytes(state, bytes, fold_word);
}

}  // namespace quorvel
