// Fixed-width little-endian integers at unaligned byte positions. Every
// integer of the IR blob goes through these helpers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvel {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian machines are not supported");

namespace little_endian_detail {

constexpr std::uint32_t to_little(std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return v;
  } else {
    return __builtin_bswap32(v);
  }
}

constexpr std::uint64_t to_little(std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return v;
  } else {
    return __builtin_bswap64(v);
  }
}

}  // namespace little_endian_detail

inline void store_u32_le(char* at, std::uint32_t v) noexcept {
  const std::uint32_t le = little_endian_detail::to_little(v);
  std::memcpy(at, &le, sizeof le);
}

inline void store_u64_le(char* at, std::uint64_t v) noexcept {
  const std::uint64_t le = little_endian_detail::to_little(v);
  std::memcpy(at, &le, sizeof le);
}

inline std::uint32_t load_u32_le(const char* at) noexcept {
  std::uint32_t le;
  std::memcpy(&le, at, sizeof le);
  return little_endian_detail::to_little(le);
}

inline std::uint64_t load_u64_le(const char* at) noexcept {
  std::uint64_t le;
  std::memcpy(&le, at, sizeof le);
  return little_endian_detail::to_little(le);
}

}  // namespace quorvel
