// The blob reader's cursor: the input bytes and the current position. Every
// read is checked against the end of the input; a failed read reports the
// first problem met from left to right and leaves the position unspecified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "node/node_id.hpp"
#include "node/node_inputs.hpp"
#include "param/param_map.hpp"
#include "serialize/decode_error.hpp"
#include "serialize/little_endian.hpp"
#include "support/outcome.hpp"

namespace quorvel {

class Reader {
 public:
  explicit Reader(std::string_view bytes, std::size_t position = 0) noexcept
      : begin_(bytes.data()), pos_(bytes.data() + (position < bytes.size() ? position : bytes.size())),
        end_(bytes.data() + bytes.size()) {}

  std::size_t position() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }

  Outcome<std::uint8_t, DecodeError> u8() noexcept {
    if (pos_ == end_) return failure(DecodeError::truncated());
    return static_cast<std::uint8_t>(*pos_++);
  }
  Outcome<std::uint32_t, DecodeError> u32() noexcept {
    if (remaining() < 4) return failure(DecodeError::truncated());
    const std::uint32_t v = load_u32_le(pos_);
    pos_ += 4;
    return v;
  }
  Outcome<std::uint64_t, DecodeError> u64() noexcept {
    if (remaining() < 8) return failure(DecodeError::truncated());
    const std::uint64_t v = load_u64_le(pos_);
    pos_ += 8;
    return v;
  }

  // A u32 byte length and that many bytes of strictly valid UTF-8.
  Outcome<std::string, DecodeError> string();
  // One string, borrowed from the input.
  Outcome<std::string_view, DecodeError> string_view() noexcept;

  // A u32 entry count and the entries (name, value tag, value), returned
  // sorted by name. Repeated names are kept.
  Outcome<ParamMap, DecodeError> params();

  // Fast paths for the common shapes of a record's fields, each in one pass
  // with no error to report: nullopt for any other shape, well-formed or
  // not, with the position wherever the attempt stopped. The caller then
  // goes back (rewind) and reads the same bytes with the calls above,
  // which report the first fault as they always have.
  //
  // A name of up to 14 bytes (held inside its key) of ASCII, borrowed.
  std::optional<std::string_view> short_ascii_string() noexcept;
  // A well-formed map whose names are already in order and whose encoding
  // is small (see params()).
  std::optional<ParamMap> params_in_order();
  // The same, built where it is returned (a key's own map, when it
  // initializes one); `ok` tells whether it was read (an empty map if not).
  ParamMap params_in_place(bool& ok);
  // Up to three ids, each lower than node_index (kept inside the key);
  // `ok` tells whether they were read (an empty list if not).
  NodeInputs few_inputs(NodeId node_index, bool& ok) noexcept;

  // The next byte, not consumed; there must be one.
  std::uint8_t peek_u8() const noexcept { return static_cast<std::uint8_t>(*pos_); }
  // Consumes n bytes that are there.
  void skip(std::size_t n) noexcept { pos_ += n; }
  // Moves back to a position read earlier.
  void rewind(std::size_t position) noexcept { pos_ = begin_ + position; }

  // A u32 count and that many u64 node ids, each of which must be lower
  // than `node_index`, the index of the record being read.
  Outcome<NodeInputs, DecodeError> inputs(NodeId node_index);

 private:
  // The next `n` bytes, validated as UTF-8, without copying them.
  Outcome<std::string_view, DecodeError> utf8_bytes(std::uint32_t n) noexcept;
  Outcome<ParamValueView, DecodeError> param_value(std::uint8_t tag);

  const char* begin_;
  const char* pos_;
  const char* end_;
};

// How many elements a list whose count was read from a blob may reserve:
// never more than the remaining bytes could hold at `min_bytes` each, and
// never more than `cap`, so a lying count cannot force a large allocation.
std::size_t bounded_reserve(std::uint64_t count, std::size_t remaining, std::size_t min_bytes,
                            std::size_t cap) noexcept;

}  // namespace quorvel
