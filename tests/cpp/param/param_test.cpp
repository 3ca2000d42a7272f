// Parameter values and maps: identity, hashing and ordering.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "param/param_map.hpp"

namespace quorvel {
namespace {

ParamValue nan_bits(std::uint64_t bits) { return ParamValue::floating(std::bit_cast<double>(bits)); }

TEST(ParamValue, IdentityAndHashAgree) {
  using V = ParamValue;
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* what;
    ParamValue a, b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"ints", V::integer(kMin), V::integer(kMin), true},
      {"other ints", V::integer(7), V::integer(-7), false},
      {"int is not bool", V::integer(1), V::boolean(true), false},
      {"zero is not false", V::integer(0), V::boolean(false), false},
      {"int is not float", V::integer(1), V::floating(1.0), false},
      {"floats", V::floating(1.0), V::floating(1.0), true},
      {"signed zeros", V::floating(0.0), V::floating(-0.0), false},
      {"quiet vs negative NaN", nan_bits(0x7FF8000000000000ULL), nan_bits(0xFFF8000000000000ULL), true},
      {"payload vs signalling NaN", nan_bits(0x7FF80000DEADBEEFULL), nan_bits(0x7FF0000000000001ULL), true},
      {"NaN is not infinity", nan_bits(0x7FF8000000000000ULL), nan_bits(0x7FF0000000000000ULL), false},
      {"bools", V::boolean(false), V::boolean(true), false},
      {"strings", V::text("x|y"), V::text("x|y"), true},
      {"strings byte for byte", V::text("e\xcc\x81"), V::text("\xc3\xa9"), false},
      {"embedded NUL", V::text(std::string("a\0b", 3)), V::text("a"), false},
      {"str is not int", V::text("1"), V::integer(1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    if (c.equal) {
      EXPECT_EQ(keyed_hash_of(c.a, HashKey{12345, 1}), keyed_hash_of(c.b, HashKey{12345, 1}));
    }
  }
  EXPECT_EQ(canonical_float_bits(std::bit_cast<double>(0xFFF0000000000001ULL)), kCanonicalNanBits);
}

std::vector<std::string> names_of(const ParamMap& map) {
  std::vector<std::string> names;
  for (const ParamEntryView e : map.entries()) names.emplace_back(e.name);
  return names;
}

TEST(ParamMap, SortsStablyByUnsignedBytesWithPrefixFirst) {
  // "\xc3\xa9" (é) has a high first byte and sorts after every ASCII name.
  const ParamMap map({{"\xc3\xa9", ParamValue::integer(1)},
                      {"k", ParamValue::integer(2)},
                      {"ab", ParamValue::integer(3)},
                      {"a", ParamValue::integer(4)},
                      {"k", ParamValue::integer(5)},
                      {"B", ParamValue::integer(6)},
                      {"", ParamValue::integer(7)}});
  EXPECT_EQ(names_of(map), (std::vector<std::string>{"", "B", "a", "ab", "k", "k", "\xc3\xa9"}));
  // Equal names are all kept, in their given order.
  EXPECT_TRUE(map.entries()[4].value == ParamValue::integer(2));
  EXPECT_TRUE(map.entries()[5].value == ParamValue::integer(5));

  // Larger maps too: entries with equal names keep their given order.
  std::vector<ParamEntry> many;
  std::uint32_t x = 12345;
  for (std::int64_t i = 0; i < 100; ++i) {
    x = x * 1103515245u + 12345u;
    many.push_back({std::string(1, static_cast<char>('a' + (x >> 16) % 4)), ParamValue::integer(i)});
  }
  const ParamMap big(many);
  const std::vector<ParamEntry> sorted = big.entries().to_vector();
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    const ParamEntry &prev = sorted[i - 1], &cur = sorted[i];
    ASSERT_LE(prev.name, cur.name);
    if (prev.name == cur.name) {
      ASSERT_LT(prev.value.as_int(), cur.value.as_int());
    }
  }
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// Maps are held in a compact encoding, inside the object when small and on
// the heap otherwise; every size must read back, copy and compare alike.
TEST(ParamMap, CompactEncodingReadsBackAtEverySize) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 40u}) {
    std::vector<ParamEntry> given;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string name = "p" + std::to_string(100 + i);
      switch (i % 4) {
        case 0: given.push_back({name, ParamValue::integer(-static_cast<std::int64_t>(i) * 1000003)}); break;
        case 1: given.push_back({name, ParamValue::floating(0.1 * static_cast<double>(i))}); break;
        case 2: given.push_back({name, ParamValue::boolean(i % 8 == 2)}); break;
        default: given.push_back({name, ParamValue::text(std::string(i * 7, 'x'))}); break;
      }
    }
    SCOPED_TRACE(n);
    const ParamMap map(given);
    EXPECT_EQ(map.size(), n);
    EXPECT_TRUE(map.entries() == given);  // the names were given in order
    ParamMap copy = map;
    ParamMap moved = std::move(copy);
    EXPECT_EQ(moved, map);
    EXPECT_EQ(keyed_hash_of(moved, HashKey{7, 7}), keyed_hash_of(map, HashKey{7, 7}));
    ParamMap assigned;
    assigned = moved;
    EXPECT_EQ(assigned.token(), map.token());
  }
}

// Around the largest encoding kept inside the map (30 bytes): maps equal
// exactly when their entries are, whatever side of the boundary each copy
// is on, NaN payloads included, with equal hashes for equal maps.
TEST(ParamMap, InlineAndHeapMapsAgreeAroundTheBoundary) {
  const double quiet = std::bit_cast<double>(0x7FF8000000000000ULL);
  const double payload = std::bit_cast<double>(0x7FF0000000000001ULL);
  std::vector<std::vector<ParamEntry>> given;
  for (std::size_t length = 22; length <= 30; ++length) {
    given.push_back({{"s", ParamValue::text(std::string(length, 'q'))}});
    given.push_back({{"s", ParamValue::text(std::string(length - 1, 'q') + "r")}});
    given.push_back({{"a", ParamValue::floating(quiet)}, {"s", ParamValue::text(std::string(length - 12, 'q'))}});
    given.push_back({{"a", ParamValue::floating(1.5)}, {"s", ParamValue::text(std::string(length - 12, 'q'))}});
  }
  for (const auto& x : given) {
    const ParamMap map(x);
    EXPECT_TRUE(map.entries() == x);
    EXPECT_EQ(map.size(), x.size());
    for (const auto& y : given) EXPECT_EQ(map == ParamMap(y), x == y) << map.token() << " " << ParamMap(y).token();
    const ParamMap copy = map;
    EXPECT_EQ(copy, map);
    EXPECT_TRUE(copy.entries() == x);
    EXPECT_EQ(keyed_hash_of(copy, HashKey{3, 4}), keyed_hash_of(map, HashKey{3, 4}));
  }
  // A NaN's payload does not count, inside the map or on the heap.
  for (std::size_t length : {4u, 30u}) {
    const std::string text(length, 't');
    const ParamMap a({{"a", ParamValue::floating(quiet)}, {"s", ParamValue::text(text)}});
    const ParamMap b({{"a", ParamValue::floating(payload)}, {"s", ParamValue::text(text)}});
    EXPECT_EQ(a, b);
    EXPECT_EQ(keyed_hash_of(a, HashKey{5, 6}), keyed_hash_of(b, HashKey{5, 6}));
    EXPECT_NE(a, ParamMap({{"a", ParamValue::floating(payload)}, {"s", ParamValue::text(text + "t")}}));
  }
}

TEST(ParamMap, FloatsCompareByCanonicalBitsAcrossEncodings) {
  const ParamMap quiet({{"v", ParamValue::floating(std::bit_cast<double>(0x7FF8000000000000ULL))}});
  const ParamMap payload({{"v", ParamValue::floating(std::bit_cast<double>(0x7FF0000000000001ULL))}});
  EXPECT_EQ(quiet, payload);
  EXPECT_EQ(keyed_hash_of(quiet, HashKey{1, 2}), keyed_hash_of(payload, HashKey{1, 2}));
  // The stored bits are kept exactly.
  EXPECT_EQ(std::bit_cast<std::uint64_t>(payload.entries()[0].value.as_float()), 0x7FF0000000000001ULL);
  EXPECT_NE(ParamMap({{"v", ParamValue::floating(0.0)}}), ParamMap({{"v", ParamValue::floating(-0.0)}}));
}

}  // namespace
}  // namespace quorvel
