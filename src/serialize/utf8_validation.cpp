#include "serialize/utf8_validation.hpp"

#include <cstdint>
#include <cstring>

namespace quorvel {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8_text(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  while (p < end) {
    // Names and tokens are mostly ASCII: skip eight such bytes at a time.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & kHighBits) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // The second byte's range depends on the lead byte; it is what excludes
    // overlong forms (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
    std::size_t length;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_min = 0xA0;
      if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_min = 0x90;
      if (lead == 0xF4) second_max = 0x8F;
    } else {
      // 80..C1 (continuation bytes and overlong two-byte leads) and F5..FF.
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < second_min || p[1] > second_max) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += length;
  }
  return true;
}

}  // namespace quorvel
