// A node's parameters: (name, value) entries sorted by name, byte-wise.
// Stored in one compact encoding that small maps keep inside the object,
// so most keys carry their parameters without a heap block of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "param/param_value.hpp"
#include "support/short_copy.hpp"
#include "support/swap_bytes.hpp"

namespace quorvel {

// An owned entry, as callers build maps from.
struct ParamEntry {
  std::string name;
  ParamValue value;

  friend bool operator==(const ParamEntry& a, const ParamEntry& b) noexcept {
    return a.name == b.name && a.value == b.value;
  }
};

// An entry read from a map; valid while the map lives unchanged.
struct ParamEntryView {
  std::string_view name;
  ParamValueView value;
};

namespace param_encoding {

// Reads a length (LEB128) at `in` and moves `in` past it.
inline std::size_t get_varint(const unsigned char*& in) noexcept {
  std::size_t n = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char b = *in++;
    n |= static_cast<std::size_t>(b & 0x7F) << shift;
    if (b < 0x80) return n;
  }
}

// Writes a length (LEB128) at `out` (room for 10 bytes, 5 for a 32-bit
// length) and returns the end of what it wrote.
inline unsigned char* put_varint(unsigned char* out, std::size_t n) noexcept {
  if (n < 0x80) {  // every name and text shorter than 128 bytes
    *out = static_cast<unsigned char>(n);
    return out + 1;
  }
  while (n >= 0x80) {
    *out++ = static_cast<unsigned char>(n | 0x80);
    n >>= 7;
  }
  *out++ = static_cast<unsigned char>(n);
  return out;
}

// Decodes the entry at `at` (see param_map.cpp for the encoding) and moves
// `at` past it.
inline ParamEntryView decode(const unsigned char*& at) noexcept {
  const std::size_t name_size = get_varint(at);
  const std::string_view name(reinterpret_cast<const char*>(at), name_size);
  at += name_size;
  const auto kind = static_cast<ParamKind>(*at++);
  switch (kind) {
    case ParamKind::Int: {
      std::int64_t v;
      std::memcpy(&v, at, 8);
      at += 8;
      return {name, ParamValueView::integer(v)};
    }
    case ParamKind::Float: {
      double v;
      std::memcpy(&v, at, 8);
      at += 8;
      return {name, ParamValueView::floating(v)};
    }
    case ParamKind::Bool: return {name, ParamValueView::boolean(*at++ != 0)};
    case ParamKind::Str: break;
  }
  const std::size_t size = get_varint(at);
  const std::string_view text(reinterpret_cast<const char*>(at), size);
  at += size;
  return {name, ParamValueView::text(text)};
}

}  // namespace param_encoding

class ParamMap {
 public:
  ParamMap() noexcept { std::memset(raw_, 0, sizeof raw_); }

  // The largest encoding a map may have: its size is kept in 32 bits, like
  // every record length.
  static constexpr std::size_t kMaxEncodedBytes = 0xFFFFFFFFu;

  // Sorts the entries by name (stable, unsigned byte order). Entries with
  // equal names are all kept, in their given order. Throws LimitExceeded
  // when the entries encode to more than kMaxEncodedBytes.
  explicit ParamMap(std::vector<ParamEntry> entries);

  // The same from borrowed entries (sorted in place); nothing is copied
  // but into the map's own encoding.
  static ParamMap from_views(std::span<ParamEntryView> entries);

  // A map of `count` entries whose encoding (see param_map.cpp) a reader
  // has already built and checked: names in map order, each value in its
  // stored form, has_nan set when a Float entry is a NaN. The bytes are
  // copied. Gives the map from_views gives for the same entries.
  // For a reader that builds a short encoding in place, in an empty map:
  // the room inside (kInlineRoom bytes, all zero), and then finish_inline
  // with what it wrote there. Bytes it leaves unwritten must stay zero.
  static constexpr std::size_t kInlineRoom = 30;
  unsigned char* inline_room() noexcept { return raw_ + 2; }
  void finish_inline(std::size_t size, std::size_t count, bool has_nan) noexcept {
    raw_[0] = static_cast<unsigned char>(size);
    raw_[1] = static_cast<unsigned char>(count | (has_nan ? kInlineNan : 0));
  }

  static ParamMap from_encoding(std::span<const unsigned char> encoding, std::size_t count, bool has_nan) {
    // A short encoding goes inside the map, inline here: a blob's maps are
    // mostly short, and read one after the other.
    if (encoding.size() <= kInlineBytes) {
      ParamMap map;
      copy_short(map.inline_room(), encoding.data(), encoding.size());
      map.finish_inline(encoding.size(), count, has_nan);
      return map;
    }
    return from_long_encoding(encoding, count, has_nan);
  }

  ParamMap(const ParamMap& other);
  // Moves are the map's 32 bytes, inline: keys move their maps around a lot.
  ParamMap(ParamMap&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    std::memset(other.raw_, 0, sizeof other.raw_);
  }
  ParamMap& operator=(ParamMap other) noexcept {
    swap_bytes<sizeof raw_>(raw_, other.raw_);
    return *this;
  }
  ~ParamMap() {
    if (on_heap()) delete[] heap();
  }

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ParamEntryView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ParamEntryView;

    // Each entry is decoded once, when the iterator reaches it.
    ParamEntryView operator*() const noexcept { return current_; }
    Iterator& operator++() noexcept {
      at_ = next_;
      load();
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    friend class ParamMap;
    Iterator(const unsigned char* at, const unsigned char* end) noexcept : at_(at), end_(end) { load(); }
    void load() noexcept {
      if (at_ == end_) return;
      next_ = at_;
      current_ = param_encoding::decode(next_);
    }
    const unsigned char* at_;
    const unsigned char* end_;
    const unsigned char* next_ = nullptr;
    ParamEntryView current_{};
  };

  // The entries in map order, as views.
  class Entries {
   public:
    Iterator begin() const noexcept { return map_.begin(); }
    Iterator end() const noexcept { return map_.end(); }
    std::size_t size() const noexcept { return map_.size(); }
    // The i-th entry (a walk from the first).
    ParamEntryView operator[](std::size_t i) const noexcept;
    // Owned copies of the entries.
    std::vector<ParamEntry> to_vector() const;
    friend bool operator==(const Entries& a, const std::vector<ParamEntry>& b);

   private:
    friend class ParamMap;
    explicit Entries(const ParamMap& map) noexcept : map_(map) {}
    const ParamMap& map_;
  };

  Entries entries() const noexcept { return Entries(*this); }
  Iterator begin() const noexcept { return Iterator(bytes(), bytes() + encoding_size()); }
  Iterator end() const noexcept { return Iterator(bytes() + encoding_size(), bytes() + encoding_size()); }
  bool empty() const noexcept { return size() == 0; }

  // The first name (in map order) that two entries share, or null when
  // every name is distinct. Valid while the map lives unchanged.
  std::optional<std::string_view> repeated_name() const noexcept;
  std::size_t size() const noexcept { return count_flags() & ~kHasNan; }

  // The entries in their stored encoding (see param_map.cpp), for writers
  // that transcode it in one pass instead of decoding each entry.
  std::span<const unsigned char> encoding() const noexcept { return {bytes(), encoding_size()}; }

  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept;

  // How many of the object's leading words a hasher may feed as they are,
  // or 0 when it may not. An inline map without NaN is its 32 bytes, which
  // are then a function of its value alone: the encoding's size, the count,
  // the encoding, zero bytes; and the words that hold the encoding (the
  // first byte tells how many) identify it.
  std::size_t canonical_words() const noexcept {
    if (on_heap() || (raw_[1] & kInlineNan) != 0) return 0;
    return (std::size_t{2} + raw_[0] + 7) / 8;
  }

  // The map's shape for a hasher that packs it into one word with fields
  // of its own and then feeds encoding() as raw bytes: true, with the entry
  // count and the encoding's size, when the map has no NaN (its encoding is
  // then what makes it equal to another) and they are below 2^16 and 2^24.
  bool compact_shape(std::uint32_t& count, std::uint32_t& size) const noexcept {
    count = count_flags();
    size = encoding_size();
    return count < (std::uint32_t{1} << 16) && size < (std::uint32_t{1} << 24);
  }

  // Inline, so that a hasher local to the caller stays in registers.
  void hash_into(KeyedHasher& hasher) const noexcept {
    const std::uint32_t count = count_flags();
    if ((count & kHasNan) != 0) {
      hasher = hashed_canonically(hasher);
      return;
    }
    // Count and encoded size in one word, then the encoding.
    const std::uint32_t size = encoding_size();
    hasher.word(count | static_cast<std::uint64_t>(size) << 32);
    hasher.raw_bytes(std::string_view(reinterpret_cast<const char*>(bytes()), size));
  }

  // "name=value;name=value" with names escaped; empty for an empty map.
  std::string token() const;
  void append_token(std::string& out) const;

  // "{name=value, name=value}" with display values; names as they are.
  std::string display() const;
  void append_display(std::string& out) const;

 private:
  // The map's 32 bytes. An encoding of up to kInlineBytes lives inside:
  // raw_[0] holds its size, raw_[1] the count (at most ten entries fit)
  // with kInlineNan, and the encoding follows, unused bytes zero. A longer
  // one is a heap block: raw_[0] holds kHeapMark, and the count with
  // kHasNan, the size and the block's address sit at offsets 4, 8 and 16.
  static constexpr std::size_t kInlineBytes = kInlineRoom;
  static constexpr unsigned char kHeapMark = 0xFF;
  static constexpr unsigned char kInlineNan = 0x80;
  static constexpr std::size_t kCountAt = 4;
  static constexpr std::size_t kSizeAt = 8;
  static constexpr std::size_t kHeapAt = 16;

  // NaNs with different payloads are equal: a map holding one hashes the
  // canonical values. Takes and returns the hasher by value, so that the
  // caller's own never has its address taken.
  KeyedHasher hashed_canonically(KeyedHasher hasher) const noexcept;

  static ParamMap from_long_encoding(std::span<const unsigned char> encoding, std::size_t count, bool has_nan);

  bool on_heap() const noexcept { return raw_[0] == kHeapMark; }
  std::uint32_t load32(std::size_t at) const noexcept {
    std::uint32_t v;
    std::memcpy(&v, raw_ + at, sizeof v);
    return v;
  }
  unsigned char* heap() const noexcept {
    unsigned char* p;
    std::memcpy(&p, raw_ + kHeapAt, sizeof p);
    return p;
  }
  // The encoding's size in bytes.
  std::uint32_t encoding_size() const noexcept { return on_heap() ? load32(kSizeAt) : raw_[0]; }
  // The entry count, with kHasNan.
  std::uint32_t count_flags() const noexcept {
    if (on_heap()) return load32(kCountAt);
    return (raw_[1] & ~kInlineNan) | ((raw_[1] & kInlineNan) != 0 ? kHasNan : 0);
  }
  const unsigned char* bytes() const noexcept { return on_heap() ? heap() : raw_ + 2; }
  // Room for an encoding of `size` bytes in an empty map (every byte
  // zero); the count is set afterwards by set_count.
  unsigned char* allocate(std::size_t size);
  void set_count(std::size_t count, bool has_nan) noexcept;
  template <class Entry>
  void encode_sorted(std::span<const Entry> entries);

  // Set in count_ when some Float entry is a NaN. Maps without one are
  // equal exactly when their encodings are, so they hash their bytes.
  static constexpr std::uint32_t kHasNan = 0x80000000u;

  alignas(8) unsigned char raw_[32];
};

static_assert(sizeof(ParamMap) == 32);

// Appends "|" and the map's token to out; nothing for an empty map.
void append_params_token(std::string& out, const ParamMap& params);

}  // namespace quorvel
