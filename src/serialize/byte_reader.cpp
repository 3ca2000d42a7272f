#include "serialize/byte_reader.hpp"

#include <array>
#include <span>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "serialize/blob_format.hpp"
#include "serialize/utf8_validation.hpp"
#include "support/short_copy.hpp"

namespace quorvel {

namespace {

// Parameter entries are much larger in memory than their smallest encoding,
// so their up-front reservation is capped as well; longer lists grow as
// their entries are actually read.
constexpr std::size_t kParamReserveCap = 1024;

}  // namespace

std::size_t bounded_reserve(std::uint64_t count, std::size_t remaining, std::size_t min_bytes,
                            std::size_t cap) noexcept {
  const std::uint64_t fits = remaining / min_bytes;
  return static_cast<std::size_t>(std::min<std::uint64_t>({count, fits, cap}));
}

Outcome<std::string_view, DecodeError> Reader::utf8_bytes(std::uint32_t n) noexcept {
  if (remaining() < n) return failure(DecodeError::truncated());
  const std::string_view text(pos_, n);
  if (!is_valid_utf8(text)) return failure(DecodeError::bad_utf8());
  pos_ += n;
  return text;
}

Outcome<std::string_view, DecodeError> Reader::string_view() noexcept {
  auto length = u32();
  if (!length) return failure(length.error());
  return utf8_bytes(length.value());
}

Outcome<std::string, DecodeError> Reader::string() {
  auto text = string_view();
  if (!text) return failure(text.error());
  return std::string(text.value());
}

Outcome<ParamValueView, DecodeError> Reader::param_value(std::uint8_t tag) {
  switch (static_cast<ParamKind>(tag)) {
    case ParamKind::Int: {
      auto bits = u64();
      if (!bits) return failure(bits.error());
      return ParamValueView::integer(static_cast<std::int64_t>(bits.value()));
    }
    case ParamKind::Float: {
      // Taken bit for bit, so a NaN payload survives a round trip.
      auto bits = u64();
      if (!bits) return failure(bits.error());
      return ParamValueView::floating(std::bit_cast<double>(bits.value()));
    }
    case ParamKind::Bool: {
      // Any non-zero byte reads as true.
      auto byte = u8();
      if (!byte) return failure(byte.error());
      return ParamValueView::boolean(byte.value() != 0);
    }
    case ParamKind::Str: {
      auto text = string_view();
      if (!text) return failure(text.error());
      return ParamValueView::text(text.value());
    }
  }
  return failure(DecodeError::bad_tag(DecodeError::TagSite::Param, tag));
}

namespace {

// The largest map encoding params_in_order builds on the stack; larger
// maps take the entry-by-entry path.
constexpr std::size_t kInOrderBytes = 512;

// The first n bytes (n <= 8) at p in a word, the rest zero, as they would
// compare: the first byte most significant. Reads eight bytes at p.
std::uint64_t short_text_word(const char* p, std::size_t n) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return n >= 8 ? w : w & ~(~std::uint64_t{0} >> (8 * n));
}

// Whether a comes before b as names are ordered (bytewise, a prefix first).
// Both lie in the input with eight bytes readable at a.data() and
// b.data(); names of up to eight bytes compare as single words.
bool name_before(std::string_view a, std::string_view b) noexcept {
  if (a.size() <= 8 && b.size() <= 8) {
    const std::uint64_t x = short_text_word(a.data(), a.size()), y = short_text_word(b.data(), b.size());
    return x < y || (x == y && a.size() < b.size());
  }
  return a < b;
}

}  // namespace

ParamMap Reader::params_in_place(bool& ok) {
  // Every return gives `map`, so that it is built where the caller wants
  // it (a key's own map). A short encoding is written straight into it: a
  // copy would read back bytes just written a few at a time, which stalls
  // until they reach the cache.
  ParamMap map;
  ok = false;
  if (remaining() < 4) return map;
  const std::uint32_t n = load_u32_le(pos_);
  pos_ += 4;
  if (n == 0) {
    ok = true;
    return map;
  }
  // The position is kept in a local: the member, which the byte writes
  // below may alias as far as the compiler knows, was stored and loaded
  // again around every one of them.
  const char* p = pos_;
  const char* const end = end_;
  const auto left = [&] { return static_cast<std::size_t>(end - p); };
  unsigned char* const room = map.inline_room();
  unsigned char spill[kInOrderBytes];
  unsigned char* begin = room;
  unsigned char* out = room;
  unsigned char* limit = room + ParamMap::kInlineRoom;
  // Room for k more bytes; a map that outgrows the room inside goes on in
  // the buffer on the stack, the room inside left zero.
  auto fits = [&](std::size_t k) {
    if (static_cast<std::size_t>(limit - out) >= k) return true;
    if (begin != room) return false;
    const auto written = static_cast<std::size_t>(out - room);
    std::memcpy(spill, room, written);
    std::memset(room, 0, written);
    begin = spill;
    out = spill + written;
    limit = spill + kInOrderBytes;
    return static_cast<std::size_t>(limit - out) >= k;
  };
  std::string_view previous;
  bool has_nan = false;
  // Each step checks that the bytes it reads are there and that what it
  // writes fits (a length takes at most 5 bytes).
  auto text = [&](std::string_view& into) {
    if (left() < 4) return false;
    const std::uint32_t length = load_u32_le(p);
    if (left() - 4 < length) return false;
    into = std::string_view(p + 4, length);
    // Up to eight bytes of ASCII are told apart with one load where the
    // input has the bytes.
    if (length <= 8 && left() >= 12) {
      if ((short_text_word(into.data(), length) & 0x8080808080808080ULL) != 0 && !is_valid_utf8(into)) return false;
    } else if (!is_valid_utf8(into)) {
      return false;
    }
    if (!fits(std::size_t{5} + length)) return false;
    p += 4 + length;
    out = param_encoding::put_varint(out, length);
    copy_short(out, into.data(), length);
    out += length;
    return true;
  };
  // A map of another shape leaves `map` empty, as it began; every return
  // gives `map` itself.
  bool refused = false;
  for (std::uint32_t i = 0; i < n && !refused; ++i) {
    std::string_view name;
    // Eight bytes are readable at both names when they are at the name
    // just read (the earlier one starts before it).
    if (!text(name) || p == end || !fits(1) ||
        (i != 0 && (left() + name.size() >= 8 ? name_before(name, previous) : name < previous))) {
      refused = true;
      break;
    }
    previous = name;
    const auto tag = static_cast<std::uint8_t>(*p++);
    *out++ = tag;
    switch (static_cast<ParamKind>(tag)) {
      case ParamKind::Int:
      case ParamKind::Float: {
        if (left() < 8 || !fits(8)) {
          refused = true;
          break;
        }
        const std::uint64_t bits = load_u64_le(p);
        p += 8;
        has_nan = has_nan || (static_cast<ParamKind>(tag) == ParamKind::Float && std::isnan(std::bit_cast<double>(bits)));
        std::memcpy(out, &bits, 8);
        out += 8;
        break;
      }
      case ParamKind::Bool:
        if (p == end || !fits(1)) {
          refused = true;
          break;
        }
        *out++ = *p++ != 0 ? 1 : 0;  // any non-zero byte reads as true
        break;
      case ParamKind::Str: {
        std::string_view value;
        refused = !text(value);
        break;
      }
      default: refused = true;
    }
  }
  pos_ = p;
  if (refused) {
    map = ParamMap();
    return map;
  }
  const auto size = static_cast<std::size_t>(out - begin);
  if (begin == room) {
    map.finish_inline(size, n, has_nan);
  } else {
    map = ParamMap::from_encoding(std::span<const unsigned char>(spill, size), n, has_nan);
  }
  ok = true;
  return map;
}

std::optional<ParamMap> Reader::params_in_order() {
  bool ok = false;
  ParamMap map = params_in_place(ok);
  if (!ok) return std::nullopt;
  return map;
}

Outcome<ParamMap, DecodeError> Reader::params() {
  const char* const start = pos_;
  if (std::optional<ParamMap> in_order = params_in_order()) return std::move(*in_order);
  pos_ = start;
  auto count = u32();
  if (!count) return failure(count.error());
  const std::uint32_t n = count.value();
  if (n == 0) return ParamMap();

  // The entries borrow names and texts from the input until the map has
  // encoded them; a few are gathered on the stack, more spill to the heap
  // (reserved no further than the remaining bytes could hold).
  constexpr std::size_t kOnStack = 8;
  std::array<ParamEntryView, kOnStack> on_stack;
  std::vector<ParamEntryView> spilled;
  if (n > kOnStack) spilled.reserve(bounded_reserve(n, remaining(), kMinParamEntryBytes, kParamReserveCap));
  for (std::uint32_t i = 0; i < n; ++i) {
    auto name = string_view();
    if (!name) return failure(name.error());
    auto tag = u8();
    if (!tag) return failure(tag.error());
    if (tag.value() >= kParamTagCount) return failure(DecodeError::bad_tag(DecodeError::TagSite::Param, tag.value()));
    auto value = param_value(tag.value());
    if (!value) return failure(value.error());
    const ParamEntryView entry{name.value(), value.value()};
    if (n <= kOnStack) {
      on_stack[i] = entry;
    } else {
      spilled.push_back(entry);
    }
  }
  std::span<ParamEntryView> entries =
      n <= kOnStack ? std::span<ParamEntryView>(on_stack.data(), n) : std::span<ParamEntryView>(spilled);
  return ParamMap::from_views(entries);
}

std::optional<std::string_view> Reader::short_ascii_string() noexcept {
  // Sixteen bytes are read at once when the input has them: the length
  // word and up to twelve bytes, then the rest of a name of 13 or 14.
  if (remaining() < 20) return std::nullopt;
  const std::uint32_t n = load_u32_le(pos_);
  if (n > 14) return std::nullopt;
  std::uint64_t head, tail;
  std::memcpy(&head, pos_ + 4, 8);
  std::memcpy(&tail, pos_ + 12, 8);
  // The name's bytes only: the first min(n, 8) of head, the rest of tail.
  const std::uint64_t head_mask = n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
  const std::uint64_t tail_mask = n <= 8 ? 0 : (std::uint64_t{1} << (8 * (n - 8))) - 1;
  if ((((head & head_mask) | (tail & tail_mask)) & 0x8080808080808080ULL) != 0) return std::nullopt;
  const std::string_view name(pos_ + 4, n);
  pos_ += 4 + n;
  return name;
}

NodeInputs Reader::few_inputs(NodeId node_index, bool& ok) noexcept {
  ok = false;
  if (remaining() < 4) return NodeInputs();
  const std::uint32_t n = load_u32_le(pos_);
  if (n > NodeInputs::kInline || remaining() - 4 < std::size_t{8} * n) return NodeInputs();
  NodeId ids[NodeInputs::kInline] = {kNoNode, kNoNode, kNoNode};
  for (std::uint32_t i = 0; i < n; ++i) {
    ids[i] = load_u64_le(pos_ + 4 + 8 * i);
    if (ids[i] >= node_index) return NodeInputs();
  }
  pos_ += 4 + std::size_t{8} * n;
  ok = true;
  // Every id is below the record's index, which a u32 count bounds far
  // below the two ids a list kept inside cannot hold.
  return NodeInputs::of_inline_words(ids[0], ids[1], ids[2]);
}

Outcome<NodeInputs, DecodeError> Reader::inputs(NodeId node_index) {
  auto count = u32();
  if (!count) return failure(count.error());
  const std::uint32_t n = count.value();

  // Ids are read one by one, as far as the bytes go, so that an id out of
  // range is reported before the list turns out to be cut short. A short
  // list is gathered on the stack, so that reading it allocates nothing
  // beyond the key's own inputs.
  const std::size_t present = std::min<std::size_t>(n, remaining() / kMinNodeIdBytes);
  constexpr std::size_t kOnStack = 8;
  NodeId on_stack[kOnStack];
  NodeIds spilled;
  NodeId* ids = on_stack;
  if (present > kOnStack) {
    spilled.resize(present);
    ids = spilled.data();
  }
  for (std::size_t i = 0; i < present; ++i) {
    const NodeId id = load_u64_le(pos_);
    pos_ += 8;
    if (id >= node_index) return failure(DecodeError::bad_ref(id));
    ids[i] = id;
  }
  if (present < n) return failure(DecodeError::truncated());
  return NodeInputs(std::span<const NodeId>(ids, present));
}

}  // namespace quorvel
