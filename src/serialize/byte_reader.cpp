#include "serialize/byte_reader.hpp"

#include <array>
#include <span>

#include <algorithm>
#include <bit>
#include <vector>

#include "serialize/blob_format.hpp"
#include "serialize/utf8_validation.hpp"

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

Outcome<ParamMap, DecodeError> Reader::params() {
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

Outcome<NodeIds, DecodeError> Reader::inputs(NodeId node_index) {
  auto count = u32();
  if (!count) return failure(count.error());
  const std::uint32_t n = count.value();

  // Ids are read one by one, as far as the bytes go, so that an id out of
  // range is reported before the list turns out to be cut short.
  const std::size_t present = std::min<std::size_t>(n, remaining() / kMinNodeIdBytes);
  NodeIds ids(present);
  for (std::size_t i = 0; i < present; ++i) {
    const NodeId id = load_u64_le(pos_);
    pos_ += 8;
    if (id >= node_index) return failure(DecodeError::bad_ref(id));
    ids[i] = id;
  }
  if (present < n) return failure(DecodeError::truncated());
  return ids;
}

}  // namespace quorvel
