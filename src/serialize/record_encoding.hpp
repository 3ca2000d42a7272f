// The byte encoding of parameter lists and node records: their exact size
// or a quick upper bound of it, so the writer can size its buffer once, and
// the bytes. One encoding routine serves all: it runs against an
// EncodedSize, which counts, or a ByteSink, which writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "node/node_key.hpp"
#include "param/param_map.hpp"
#include "serialize/byte_sink.hpp"

namespace quorvel {

// A running byte total. Every length, count and stage reference index is
// also OR-ed into `widest`, so one comparison at the end tells whether any
// of them exceeds what a u32 field can hold.
struct EncodedSize {
  std::size_t bytes = 0;
  std::uint64_t widest = 0;

  void add_count(std::uint64_t n) noexcept {
    bytes += 4;
    widest |= n;
  }
  void add_string(std::size_t length) noexcept {
    add_count(length);
    bytes += length;
  }
  void add_ids(std::size_t n) noexcept {
    add_count(n);
    bytes += n * 8;
  }

  // The ByteSink interface, counting instead of writing.
  void u8(std::uint8_t) noexcept { bytes += 1; }
  void u64(std::uint64_t) noexcept { bytes += 8; }
  void count(std::uint64_t n) noexcept { add_count(n); }
  void string(std::string_view s) noexcept { add_string(s.size()); }
  void ids(std::span<const NodeId> ids) noexcept { add_ids(ids.size()); }
};

void measure_params(EncodedSize& size, const ParamMap& params) noexcept;
void write_params(ByteSink& sink, const ParamMap& params) noexcept;

void measure_record(EncodedSize& size, const NodeKey& key);
// Writes a record field by field, each write checked (a map straight into
// the buffer when it has room for the widest the map could become).
void write_record(ByteSink& sink, const NodeKey& key);

// Adds an upper bound of the record's size to `size`, read off the key's
// lengths without walking its parameters (a length in a map's encoding
// takes at least one byte, in the record four, and an entry has at most
// two); External and Stage records are measured exactly. Lengths and counts
// that a u32 field must hold are OR-ed into `widest` as measure_record does
// (every length inside a map is below its encoding's size, which fits).
void bound_record(EncodedSize& size, const NodeKey& key);

// Writes a record at `at` when [at, end) has room for its bound (see
// bound_record), unchecked, and returns the end of what was written; null
// when it has not. What a u32 field must hold is OR-ed into `widest`
// either way.
char* write_record_within(char* at, const char* end, const NodeKey& key, std::uint64_t& widest) noexcept;

}  // namespace quorvel
