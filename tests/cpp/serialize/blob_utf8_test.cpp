// The blob reader's UTF-8 validation, checked against a straightforward
// decode-and-range-check of every short byte sequence.
#include <gtest/gtest.h>

#include "serialize/utf8_validation.hpp"

namespace quorvel {
namespace {

// Decodes one sequence of exactly `n` bytes by the textbook rules: true
// when it is the shortest encoding of one scalar value.
bool reference_valid(const unsigned char* b, int n) {
  static constexpr unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  static constexpr unsigned kMinValue[] = {0, 0, 0x80, 0x800, 0x10000};
  const int expected = b[0] < 0x80 ? 1 : (b[0] >> 5) == 0x6 ? 2 : (b[0] >> 4) == 0xE ? 3 : (b[0] >> 3) == 0x1E ? 4 : 0;
  if (expected != n) return false;
  unsigned value = b[0] & kLeadMask[n];
  for (int i = 1; i < n; ++i) {
    if ((b[i] & 0xC0) != 0x80) return false;
    value = (value << 6) | (b[i] & 0x3F);
  }
  return value >= kMinValue[n] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
}

std::string_view view(const unsigned char* b, int n) { return {reinterpret_cast<const char*>(b), std::size_t(n)}; }

TEST(BlobUtf8, AgreesWithReferenceOnEveryOneToThreeByteSequence) {
  unsigned char b[3];
  for (unsigned x = 0; x < (1u << 24); ++x) {
    b[0] = x >> 16;
    b[1] = (x >> 8) & 0xFF;
    b[2] = x & 0xFF;
    // A sequence is valid when it splits into valid characters; the greedy
    // split by lead byte is the only possible one.
    const bool three = reference_valid(b, 3);
    const bool two_one = reference_valid(b, 2) && reference_valid(b + 2, 1);
    const bool one_two = reference_valid(b, 1) && reference_valid(b + 1, 2);
    const bool ones = reference_valid(b, 1) && reference_valid(b + 1, 1) && reference_valid(b + 2, 1);
    ASSERT_EQ(is_valid_utf8(view(b, 3)), three || two_one || one_two || ones) << std::hex << x;
    if ((x & 0xFF) == 0) {
      const bool two = reference_valid(b, 2) || (reference_valid(b, 1) && reference_valid(b + 1, 1));
      ASSERT_EQ(is_valid_utf8(view(b, 2)), two) << std::hex << x;
    }
  }
}

TEST(BlobUtf8, AgreesWithReferenceOnFourByteSequences) {
  unsigned char b[4];
  for (unsigned lead = 0xF0; lead <= 0xFF; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      for (unsigned last : {0x80u, 0xBFu, 0x41u, 0xC0u}) {
        b[0] = lead, b[1] = second, b[2] = 0x80, b[3] = last;
        ASSERT_EQ(is_valid_utf8(view(b, 4)), reference_valid(b, 4)) << std::hex << lead << ' ' << second;
        ASSERT_FALSE(is_valid_utf8(view(b, 3))) << "cut-off sequence accepted";
      }
    }
  }
}

// Short texts (checked inline when ASCII) and long ones alike.
TEST(BlobUtf8, InvalidByteIsFoundAtEveryOffsetOfEveryLength) {
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string text(length, 'a');
      EXPECT_TRUE(is_valid_utf8(text));
      text[at] = '\x80';
      EXPECT_FALSE(is_valid_utf8(text)) << length << " " << at;
      text[at] = '\xC3';  // a lead byte whose continuation is missing, or ASCII
      EXPECT_FALSE(is_valid_utf8(text)) << length << " " << at;
      text.replace(at, 1, "é");  // a valid two-byte character in the middle of ASCII runs
      EXPECT_TRUE(is_valid_utf8(text)) << length << " " << at;
      text.pop_back();
      if (at == length - 1) {
        EXPECT_FALSE(is_valid_utf8(text));  // cut inside the last character
      }
    }
  }
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // U+110000
}

}  // namespace
}  // namespace quorvel
