// Strict UTF-8 validation: only the shortest encodings of the scalar values
// U+0000..U+D7FF and U+E000..U+10FFFF are accepted. Overlong forms, encoded
// surrogates, values above U+10FFFF, stray continuation bytes and cut-off
// sequences are rejected.
#pragma once

#include <string_view>

namespace quorvel {

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace quorvel
