#include "param/param_map.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "param/token_escape.hpp"
#include "support/hash_mix.hpp"
#include "support/internal_error.hpp"
#include "support/short_copy.hpp"

namespace quorvel {

// The encoding of one entry: the name's length (LEB128), the name's bytes,
// the kind (one byte), then the value: 8 bytes for Int and Float (the bits
// as stored), 1 byte for Bool, and for Str its length (LEB128) and bytes.

namespace {

std::size_t varint_size(std::size_t n) noexcept {
  std::size_t size = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++size;
  }
  return size;
}

ParamEntryView view_of(const ParamEntry& e) noexcept { return {e.name, e.value.view()}; }
const ParamEntryView& view_of(const ParamEntryView& e) noexcept { return e; }

std::size_t encoded_size(const ParamEntryView& e) noexcept {
  std::size_t size = varint_size(e.name.size()) + e.name.size() + 1;
  switch (e.value.kind()) {
    case ParamKind::Int:
    case ParamKind::Float: return size + 8;
    case ParamKind::Bool: return size + 1;
    case ParamKind::Str: return size + varint_size(e.value.as_str().size()) + e.value.as_str().size();
  }
  return size;
}

[[gnu::always_inline]] inline unsigned char* put_bytes(unsigned char* out, std::string_view bytes) noexcept {
  copy_short(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

[[gnu::always_inline]] inline unsigned char* encode(unsigned char* out, const ParamEntryView& e) noexcept {
  out = param_encoding::put_varint(out, e.name.size());
  out = put_bytes(out, e.name);
  *out++ = static_cast<unsigned char>(e.value.kind());
  switch (e.value.kind()) {
    case ParamKind::Int: {
      const std::int64_t v = e.value.as_int();
      std::memcpy(out, &v, 8);
      return out + 8;
    }
    case ParamKind::Float: {
      const double v = e.value.as_float();
      std::memcpy(out, &v, 8);
      return out + 8;
    }
    case ParamKind::Bool: *out++ = e.value.as_bool() ? 1 : 0; return out;
    case ParamKind::Str: {
      const std::string_view text = e.value.as_str();
      out = param_encoding::put_varint(out, text.size());
      return put_bytes(out, text);
    }
  }
  return out;
}

// Unsigned byte order, a proper prefix first; short names are compared
// without a call.
bool name_before(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  if (n > 16) return a < b;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// Stable sort by name (unsigned bytes, a proper prefix first). Insertion
// sort for the few entries a node usually has: no temporary buffer.
template <class Entry>
void sort_by_name(std::span<Entry> entries) {
  auto by_name = [](const Entry& a, const Entry& b) { return name_before(view_of(a).name, view_of(b).name); };
  if (entries.size() <= 16) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
      for (std::size_t j = i; j > 0 && by_name(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);
    }
  } else {
    std::stable_sort(entries.begin(), entries.end(), by_name);
  }
}

}  // namespace

ParamMap::ParamMap(std::vector<ParamEntry> entries) : ParamMap() {
  sort_by_name(std::span<ParamEntry>(entries));
  encode_sorted(std::span<const ParamEntry>(entries));
}

ParamMap ParamMap::from_views(std::span<ParamEntryView> entries) {
  sort_by_name(entries);
  ParamMap map;
  map.encode_sorted(std::span<const ParamEntryView>(entries));
  return map;
}

ParamMap ParamMap::from_long_encoding(std::span<const unsigned char> encoding, std::size_t count, bool has_nan) {
  if (encoding.size() > kMaxEncodedBytes || count >= kHasNan) {
    throw LimitExceeded("params too large: their encoding exceeds the 4 GiB record limit (4294967295 bytes)");
  }
  ParamMap map;
  unsigned char* out = map.allocate(encoding.size());
  if (!encoding.empty()) std::memcpy(out, encoding.data(), encoding.size());
  map.set_count(count, has_nan);
  return map;
}

template <class Entry>
void ParamMap::encode_sorted(std::span<const Entry> entries) {
  std::size_t total = 0;
  for (const Entry& e : entries) total += encoded_size(view_of(e));
  if (total > kMaxEncodedBytes || entries.size() >= kHasNan) {
    throw LimitExceeded("params too large: their encoding exceeds the 4 GiB record limit (4294967295 bytes)");
  }
  unsigned char* out = allocate(total);
  bool has_nan = false;
  for (const Entry& e : entries) {
    const ParamEntryView view = view_of(e);
    has_nan = has_nan || (view.value.kind() == ParamKind::Float && std::isnan(view.value.as_float()));
    out = encode(out, view);
  }
  set_count(entries.size(), has_nan);
}

unsigned char* ParamMap::allocate(std::size_t size) {
  if (size <= kInlineBytes) {
    raw_[0] = static_cast<unsigned char>(size);
    return raw_ + 2;
  }
  unsigned char* out = new unsigned char[size];
  const auto size32 = static_cast<std::uint32_t>(size);
  raw_[0] = kHeapMark;
  std::memcpy(raw_ + kSizeAt, &size32, sizeof size32);
  std::memcpy(raw_ + kHeapAt, &out, sizeof out);
  return out;
}

void ParamMap::set_count(std::size_t count, bool has_nan) noexcept {
  if (on_heap()) {
    const std::uint32_t flags = static_cast<std::uint32_t>(count) | (has_nan ? kHasNan : 0);
    std::memcpy(raw_ + kCountAt, &flags, sizeof flags);
    return;
  }
  raw_[1] = static_cast<unsigned char>(count | (has_nan ? kInlineNan : 0));
}

ParamMap::ParamMap(const ParamMap& other) : ParamMap() {
  if (!other.on_heap()) {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    return;
  }
  const std::uint32_t size = other.encoding_size();
  unsigned char* out = allocate(size);
  std::memcpy(out, other.bytes(), size);
  std::memcpy(raw_ + kCountAt, other.raw_ + kCountAt, sizeof(std::uint32_t));
}


std::optional<std::string_view> ParamMap::repeated_name() const noexcept {
  // Sorted by name, so equal names are neighbours.
  std::optional<std::string_view> previous;
  for (const ParamEntryView e : *this) {
    if (previous && *previous == e.name) return e.name;
    previous = e.name;
  }
  return std::nullopt;
}

ParamEntryView ParamMap::Entries::operator[](std::size_t i) const noexcept {
  Iterator it = begin();
  while (i-- > 0) ++it;
  return *it;
}

std::vector<ParamEntry> ParamMap::Entries::to_vector() const {
  std::vector<ParamEntry> out;
  out.reserve(size());
  for (const ParamEntryView e : *this) out.push_back(ParamEntry{std::string(e.name), e.value.to_value()});
  return out;
}

bool operator==(const ParamMap::Entries& a, const std::vector<ParamEntry>& b) {
  if (a.size() != b.size()) return false;
  std::size_t i = 0;
  for (const ParamEntryView e : a) {
    if (e.name != b[i].name || !(e.value == b[i].value)) return false;
    ++i;
  }
  return true;
}

bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
  // Inline maps keep their unused bytes zero: equal bytes are equal maps.
  if (!a.on_heap() && std::memcmp(a.raw_, b.raw_, sizeof a.raw_) == 0) return true;
  const std::uint32_t count = a.count_flags();
  if (count != b.count_flags()) return false;
  // Equal encodings are equal maps; different ones may still be equal maps
  // when floats differ only in their NaN payloads.
  const std::uint32_t size = a.encoding_size();
  if (size == b.encoding_size() && std::memcmp(a.bytes(), b.bytes(), size) == 0) return true;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    const ParamEntryView ex = *x, ey = *y;
    if (ex.name != ey.name || !(ex.value == ey.value)) return false;
  }
  return true;
}

KeyedHasher ParamMap::hashed_canonically(KeyedHasher hasher) const noexcept {
  hasher.word(count_flags());
  for (const ParamEntryView e : *this) {
    hasher.bytes(e.name);
    e.value.hash_into(hasher);
  }
  return hasher;
}

void ParamMap::append_token(std::string& out) const {
  bool first = true;
  for (const ParamEntryView e : *this) {
    if (!first) out.push_back(';');
    first = false;
    append_escaped_token(out, e.name);
    out.push_back('=');
    e.value.append_token(out);
  }
}

std::string ParamMap::token() const {
  std::string out;
  append_token(out);
  return out;
}

void ParamMap::append_display(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const ParamEntryView e : *this) {
    if (!first) out.append(", ");
    first = false;
    out.append(e.name);
    out.push_back('=');
    e.value.append_display(out);
  }
  out.push_back('}');
}

std::string ParamMap::display() const {
  std::string out;
  append_display(out);
  return out;
}

void append_params_token(std::string& out, const ParamMap& params) {
  if (params.empty()) return;
  out.push_back('|');
  params.append_token(out);
}

}  // namespace quorvel
