// The keyed hash behind the store's index and the symbol table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "node/node_key.hpp"
#include "support/keyed_hash.hpp"

namespace quorvel {
namespace {

// Key 00 01 .. 0f of the reference algorithm's published vectors.
constexpr HashKey kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

TEST(KeyedHash, MatchesTheReferenceVectorsInItsFullRoundVariant) {
  SipHasher<2, 4> empty(kReferenceKey);
  EXPECT_EQ(empty.finish(), 0x726fdb47dd0e0e31ULL);
  SipHasher<2, 4> eight(kReferenceKey);
  eight.word(0x0706050403020100ULL);  // the bytes 00 .. 07
  EXPECT_EQ(eight.finish(), 0x93f5f5799a932462ULL);
}

// Keys that all collided under the old word fold, whatever its seed: each
// int param sits one byte past a word boundary of the params' encoding, so
// flipping its bits 55 and 60 flips bit 63 of one hashed word and bit 4 of
// the next, which that fold cancels. 2^kParams keys, one hash.
constexpr int kParams = 9;

std::vector<NodeKey> fold_colliding_keys() {
  std::vector<NodeKey> keys;
  for (std::uint32_t mask = 0; mask < (1u << kParams); ++mask) {
    std::vector<ParamEntry> params;
    for (int p = 0; p < kParams; ++p) {
      // A 7-byte first name, then 6-byte names: every int starts at an
      // offset of 1 mod 8 in the encoding.
      std::string name = p == 0 ? "a000000" : "b0000" + std::to_string(p);
      std::int64_t value = 0x0123456789abcdefLL;
      if (mask >> p & 1) value ^= (std::int64_t{1} << 55) | (std::int64_t{1} << 60);
      params.push_back(ParamEntry{name, ParamValue::integer(value)});
    }
    keys.push_back(NodeKey::source("x", ParamMap(std::move(params))));
  }
  return keys;
}

TEST(KeyedHash, KeysThatDefeatTheWordFoldSpreadUnderEveryKey) {
  const std::vector<NodeKey> keys = fold_colliding_keys();
  for (const HashKey& key : {HashKey{}, HashKey{1, 2}, fresh_hash_key()}) {
    std::set<std::uint64_t> hashes;
    std::vector<int> slots(keys.size() * 2, 0);  // the index at load 1/2
    for (const NodeKey& k : keys) {
      const std::uint64_t h = k.hash(key);
      hashes.insert(h);
      ++slots[(h >> 32) & (slots.size() - 1)];
    }
    EXPECT_EQ(hashes.size(), keys.size());
    // Random placement puts at most a handful of keys in one slot.
    EXPECT_LE(*std::max_element(slots.begin(), slots.end()), 8);
  }
}

TEST(KeyedHash, EveryTableHasItsOwnKey) {
  const HashKey a = fresh_hash_key();
  const HashKey b = fresh_hash_key();
  EXPECT_FALSE(a.k0 == b.k0 && a.k1 == b.k1);
  const NodeKey key = NodeKey::source("x", {});
  EXPECT_NE(key.hash(a), key.hash(b));
}

TEST(KeyedHash, StageReferencesHashKindAndIndexApart) {
  // A packed 32-bit (index << 1 | kind) word would make these two the same.
  StageOp input{"op|f", {StageRef::input(std::uint32_t{1} << 31)}};
  StageOp other{"op|f", {StageRef::input(0)}};
  ASSERT_FALSE(input == other);
  EXPECT_NE(keyed_hash_of(input, HashKey{3, 4}), keyed_hash_of(other, HashKey{3, 4}));
}

}  // namespace
}  // namespace quorvel
