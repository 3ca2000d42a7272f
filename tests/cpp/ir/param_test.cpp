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
      EXPECT_EQ(c.a.hash_into(12345), c.b.hash_into(12345));
    }
  }
  EXPECT_EQ(canonical_float_bits(std::bit_cast<double>(0xFFF0000000000001ULL)), kCanonicalNanBits);
}

std::vector<std::string> names_of(const ParamMap& map) {
  std::vector<std::string> names;
  for (const ParamEntry& e : map.entries()) names.push_back(e.name);
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
  EXPECT_EQ(map.entries()[4].value, ParamValue::integer(2));
  EXPECT_EQ(map.entries()[5].value, ParamValue::integer(5));

  // Larger maps too: entries with equal names keep their given order.
  std::vector<ParamEntry> many;
  std::uint32_t x = 12345;
  for (std::int64_t i = 0; i < 100; ++i) {
    x = x * 1103515245u + 12345u;
    many.push_back({std::string(1, static_cast<char>('a' + (x >> 16) % 4)), ParamValue::integer(i)});
  }
  const ParamMap big(many);
  for (std::size_t i = 1; i < big.size(); ++i) {
    const ParamEntry &prev = big.entries()[i - 1], &cur = big.entries()[i];
    ASSERT_LE(prev.name, cur.name);
    if (prev.name == cur.name) {
      ASSERT_LT(prev.value.as_int(), cur.value.as_int());
    }
  }
}

}  // namespace
}  // namespace quorvel
