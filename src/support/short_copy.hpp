// Copying the short byte strings that names, texts and parameter entries
// mostly are: overlapping fixed-size moves instead of a library call.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorvel {

// Copies n bytes from in to out (which do not overlap).
[[gnu::always_inline]] inline void copy_short(void* out, const void* in, std::size_t n) noexcept {
  auto* o = static_cast<unsigned char*>(out);
  const auto* i = static_cast<const unsigned char*>(in);
  if (n > 32) {
    std::memcpy(o, i, n);
  } else if (n >= 16) {
    std::memcpy(o, i, 16);
    std::memcpy(o + n - 16, i + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(o, i, 8);
    std::memcpy(o + n - 8, i + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(o, i, 4);
    std::memcpy(o + n - 4, i + n - 4, 4);
  } else if (n > 0) {
    o[0] = i[0];
    o[n / 2] = i[n / 2];
    o[n - 1] = i[n - 1];
  }
}

}  // namespace quorvel
