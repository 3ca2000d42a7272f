// Parameter value tokens, token escaping and display forms.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "param/param_map.hpp"
#include "param/token_escape.hpp"

namespace quorvel {
namespace {

using V = ParamValue;
using Texts = std::vector<std::pair<std::string, std::string>>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

V bits(std::uint64_t b) { return V::floating(std::bit_cast<double>(b)); }

TEST(TokenEscape, EscapesAndUnescapes) {
  const Texts round_trips = {{"", ""},           {"plain", "plain"}, {"%", "%25"},
                             {"a=b;c", "a%3Db%3Bc"}, {"x|y%", "x%7Cy%25"}, {"%3B", "%253B"}};
  for (const auto& [raw, escaped] : round_trips) {
    EXPECT_EQ(escape_token(raw), escaped);
    EXPECT_EQ(unescape_token(escaped), raw);
  }
  // Fixed replacement order, "%25" last; other percent sequences stay.
  const Texts unescapes = {{"%7C%3D%3B%25", "|=;%"}, {"%257C", "%7C"}, {"%2525", "%25"}, {"%41", "%41"},
                           {"%7c%3d%3b", "%7c%3d%3b"}, {"%", "%"},      {"a%3", "a%3"}};
  for (const auto& [escaped, raw] : unescapes) EXPECT_EQ(unescape_token(escaped), raw) << escaped;
}

TEST(TokenEscape, RoundTripsRandomStrings) {
  const std::string alphabet = "%;=|3BDC725a\xc3\xa9";
  std::mt19937 rng(20240611);
  for (int round = 0; round < 2000; ++round) {
    std::string s(rng() % 12, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    const std::string escaped = escape_token(s);
    EXPECT_EQ(escaped.find_first_of(";=|"), std::string::npos) << s;
    ASSERT_EQ(unescape_token(escaped), s);
  }
}

TEST(ValueToken, RendersEachKindAndMaps) {
  const std::vector<std::pair<V, std::string>> cases = {
      {V::integer(-42), "i-42"},
      {V::integer(kMinInt), "i-9223372036854775808"},
      {V::integer(kMaxInt), "i9223372036854775807"},
      {V::floating(0.0), "f0000000000000000"},
      {V::floating(1.0), "f3ff0000000000000"},
      {V::floating(-0.0), "f8000000000000000"},
      {V::floating(-1.5), "fbff8000000000000"},
      {V::floating(kInf), "f7ff0000000000000"},
      {bits(1), "f0000000000000001"},
      {bits(0xFFF8000000000000ULL), "f7ff8000000000000"},
      {bits(0x7FF0000000000001ULL), "f7ff8000000000000"},
      {bits(0x7FFFFFFFFFFFFFFFULL), "f7ff8000000000000"},
      {V::boolean(true), "btrue"},
      {V::boolean(false), "bfalse"},
      {V::text(""), "s"},
      {V::text("x|y%"), "sx%7Cy%25"},
  };
  for (const auto& [value, token] : cases) EXPECT_EQ(value.token(), token);
  const ParamMap map({{"side", V::text("r")}, {"scalar", V::floating(0.0)}});
  EXPECT_EQ(map.token(), "scalar=f0000000000000000;side=sr");
  EXPECT_EQ(ParamMap({{"a=b;c", V::integer(1)}}).token(), "a%3Db%3Bc=i1");
  auto with_params = [](const ParamMap& params) {
    std::string out = "base";
    append_params_token(out, params);
    return out;
  };
  EXPECT_EQ(with_params(ParamMap()), "base");
  EXPECT_EQ(with_params(map), "base|scalar=f0000000000000000;side=sr");
}

TEST(ValueDisplay, NumbersInShortestPlainDecimal) {
  const std::vector<std::pair<V, std::string>> cases = {
      {V::floating(1.0), "1"},
      {V::floating(0.5), "0.5"},
      {V::floating(1e21), "1000000000000000000000"},
      {V::floating(-0.0), "-0"},
      {V::floating(-2.5), "-2.5"},
      {V::floating(0.1 + 0.2), "0.30000000000000004"},
      {V::floating(1e-7), "0.0000001"},
      {V::floating(123.456), "123.456"},
      // Large integral values: the shortest digits, padded with zeros.
      {V::floating(1e23), "100000000000000000000000"},
      {V::floating(9223372036854775808.0), "9223372036854776000"},
      {V::floating(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0')},
      {bits(1), "0." + std::string(323, '0') + "5"},
      {V::floating(kInf), "inf"},
      {V::floating(-kInf), "-inf"},
      {bits(0x7FF8000000000000ULL), "NaN"},
      {bits(0xFFF8000000000000ULL), "NaN"},
      {V::integer(-42), "-42"},
      {V::integer(kMinInt), "-9223372036854775808"},
      {V::boolean(true), "true"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(value.display(), text) << value.token();
}

TEST(ValueDisplay, StringsAreQuotedWithEscapes) {
  const Texts cases = {
      {"", "\"\""},
      {"a\\b", "\"a\\\\b\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"it's %;=| ~", "\"it's %;=| ~\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"\xc2\xa0", "\"\\u{a0}\""},                         // no-break space
      {"\xc2\xad", "\"\\u{ad}\""},                         // soft hyphen
      {"e\xcc\x81", "\"e\\u{301}\""},                      // combining acute accent
      {"1\xe2\x83\xa3", "\"1\\u{20e3}\""},                 // combining enclosing keycap
      {"\xe2\x80\x8b\xe2\x80\xa8", "\"\\u{200b}\\u{2028}\""},  // zero width space, line separator
      {"\xef\xbb\xbf", "\"\\u{feff}\""},                   // byte order mark
      {"\xcd\xb8", "\"\\u{378}\""},                        // unassigned
      {"\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},             // noncharacter
      {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\""},  // printable
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(V::text(raw).display(), shown);
  EXPECT_EQ(ParamMap().display(), "{}");
  EXPECT_EQ(ParamMap({{"n", V::integer(-1)}, {"a;b", V::boolean(false)}}).display(), "{a;b=false, n=-1}");
}

}  // namespace
}  // namespace quorvel
