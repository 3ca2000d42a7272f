// Swapping two objects that move as their bytes (a name, a parameter map,
// an input list: each holds its heap block, if any, by address alone), in
// three fixed-size copies instead of member by member.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorvel {

// Swaps the N bytes at a with the N bytes at b (which do not overlap).
template <std::size_t N>
inline void swap_bytes(void* a, void* b) noexcept {
  unsigned char held[N];
  std::memcpy(held, a, N);
  std::memcpy(a, b, N);
  std::memcpy(b, held, N);
}

}  // namespace quorvel
