// A write cursor over a buffer that was sized for the bytes to be written.
// A write that would pass the end writes nothing and sets a flag instead,
// so a sizing mistake shows up as a failed check, not as memory corruption.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "node/node_id.hpp"
#include "serialize/little_endian.hpp"
#include "support/short_copy.hpp"

namespace quorvel {

class ByteSink {
 public:
  ByteSink(char* begin, char* end) noexcept : pos_(begin), end_(end) {}

  void u8(std::uint8_t v) noexcept {
    if (room(1)) *pos_++ = static_cast<char>(v);
  }

  void u32(std::uint32_t v) noexcept {
    if (!room(4)) return;
    store_u32_le(pos_, v);
    pos_ += 4;
  }

  void u64(std::uint64_t v) noexcept {
    if (!room(8)) return;
    store_u64_le(pos_, v);
    pos_ += 8;
  }

  void bytes(std::string_view b) noexcept {
    if (!room(b.size())) return;
    copy_short(pos_, b.data(), b.size());
    pos_ += b.size();
  }

  // Counts and lengths were checked against the u32 limit by the sizing
  // pass before anything is written.
  void count(std::size_t n) noexcept { u32(static_cast<std::uint32_t>(n)); }

  void string(std::string_view s) noexcept {
    count(s.size());
    bytes(s);
  }

  void ids(std::span<const NodeId> ids) noexcept {
    count(ids.size());
    if (!room(ids.size() * 8)) return;
    if constexpr (std::endian::native == std::endian::little) {
      if (!ids.empty()) std::memcpy(pos_, ids.data(), ids.size() * 8);
      pos_ += ids.size() * 8;
    } else {
      for (NodeId id : ids) {
        store_u64_le(pos_, id);
        pos_ += 8;
      }
    }
  }

  // Direct writing, for a routine that knows an upper bound of what it
  // writes: the write position when at least `upper` bytes are left, else
  // null (the routine then writes through the checked calls above).
  // commit() moves the position past what was written there.
  char* claim(std::size_t upper) noexcept { return static_cast<std::size_t>(end_ - pos_) >= upper ? pos_ : nullptr; }
  void commit(char* written_to) noexcept { pos_ = written_to; }

  // True when every byte of the buffer was written and nothing was refused.
  bool exactly_filled() const noexcept { return !overflowed_ && pos_ == end_; }
  // Whether a write was refused for want of room.
  bool overflowed() const noexcept { return overflowed_; }
  // The bytes written since begin, the start of the buffer.
  std::size_t written(const char* begin) const noexcept { return static_cast<std::size_t>(pos_ - begin); }

 private:
  bool room(std::size_t n) noexcept {
    if (static_cast<std::size_t>(end_ - pos_) >= n) return true;
    overflowed_ = true;
    return false;
  }

  char* pos_;
  char* end_;
  bool overflowed_ = false;
};

}  // namespace quorvel
