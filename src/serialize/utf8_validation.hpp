// Strict UTF-8 validation: only the shortest encodings of the scalar values
// U+0000..U+D7FF and U+E000..U+10FFFF are accepted. Overlong forms, encoded
// surrogates, values above U+10FFFF, stray continuation bytes and cut-off
// sequences are rejected.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvel {

// The general check, for any text.
bool is_valid_utf8_text(std::string_view text) noexcept;

// Names and texts are mostly short and ASCII: up to 16 bytes of ASCII are
// told apart inline with two overlapping loads, anything else takes the
// general check.
inline bool is_valid_utf8(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n >= 8 && n <= 16) {
    std::uint64_t head, tail;
    std::memcpy(&head, text.data(), 8);
    std::memcpy(&tail, text.data() + n - 8, 8);
    if (((head | tail) & 0x8080808080808080ULL) == 0) return true;
  } else if (n < 8) {
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(text[i]);
    if (high < 0x80) return true;
  }
  return is_valid_utf8_text(text);
}

}  // namespace quorvel
