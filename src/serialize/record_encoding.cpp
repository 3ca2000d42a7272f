#include "serialize/record_encoding.hpp"

#include <bit>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "support/short_copy.hpp"

namespace quorvel {

namespace {

// Each routine below runs against an EncodedSize (counting) and a ByteSink
// (writing); counts, lengths and stage reference indices go through
// count(), so the sizing pass also sees whether they fit a u32 field.

template <class Out>
void encode_value(Out& out, const ParamValueView& value) noexcept {
  out.u8(static_cast<std::uint8_t>(value.kind()));
  switch (value.kind()) {
    case ParamKind::Int: out.u64(static_cast<std::uint64_t>(value.as_int())); break;
    // The bit pattern as stored: a NaN keeps its payload.
    case ParamKind::Float: out.u64(std::bit_cast<std::uint64_t>(value.as_float())); break;
    case ParamKind::Bool: out.u8(value.as_bool() ? 1 : 0); break;
    case ParamKind::Str: out.string(value.as_str()); break;
  }
}

template <class Out>
void encode_params_entrywise(Out& out, const ParamMap& params) noexcept {
  out.count(params.size());
  for (const ParamEntryView entry : params) {
    out.string(entry.name);
    encode_value(out, entry.value);
  }
}

// The blob spells an entry as the map's own encoding does but for its
// lengths, u32 where the map has LEB128: the name, the kind byte and the
// value (Int and Float as their stored 8 bytes, Bool as 0 or 1, Str as a
// length and the text). So a map is measured and written in one walk over
// its encoding that widens each length and copies the runs between them,
// without decoding entries. The stored numbers are native-endian, which is
// the blob's little-endian on every target this walk is used on.
template <class Out>
void transcode_params(Out& out, const ParamMap& params) noexcept {
  out.count(params.size());
  const std::span<const unsigned char> encoding = params.encoding();
  const unsigned char* at = encoding.data();
  const unsigned char* const end = at + encoding.size();
  const auto run = [&out](const unsigned char* from, std::size_t n) {
    if constexpr (std::is_same_v<Out, EncodedSize>) {
      out.bytes += n;
    } else {
      out.bytes(std::string_view(reinterpret_cast<const char*>(from), n));
    }
  };
  while (at < end) {
    const std::size_t name = param_encoding::get_varint(at);
    out.count(name);
    const auto kind = static_cast<ParamKind>(at[name]);
    switch (kind) {
      case ParamKind::Int:
      case ParamKind::Float:
        run(at, name + 9);
        at += name + 9;
        break;
      case ParamKind::Bool:
        run(at, name + 2);
        at += name + 2;
        break;
      case ParamKind::Str: {
        run(at, name + 1);
        at += name + 1;
        const std::size_t text = param_encoding::get_varint(at);
        out.count(text);
        run(at, text);
        at += text;
        break;
      }
    }
  }
}

// Writes straight into a buffer known to have room, for transcode_params:
// the ByteSink interface it uses, unchecked.
struct UncheckedWriter {
  char* out;
  void count(std::size_t n) noexcept {
    store_u32_le(out, static_cast<std::uint32_t>(n));
    out += 4;
  }
  void bytes(std::string_view b) noexcept {
    copy_short(out, b.data(), b.size());
    out += b.size();
  }
};

// The most bytes a map's blob encoding takes: each entry widens by at most
// three bytes per length and has at most two.
std::size_t params_bound(const ParamMap& params) noexcept {
  return 4 + params.encoding().size() + 6 * params.size();
}

// transcode_params straight into the buffer: when params_bound bytes are
// left, no write needs a check of its own.
bool transcode_params_unchecked(ByteSink& sink, const ParamMap& params) noexcept {
  char* out = sink.claim(params_bound(params));
  if (out == nullptr) return false;
  UncheckedWriter writer{out};
  transcode_params(writer, params);
  sink.commit(writer.out);
  return true;
}

template <class Out>
void encode_params(Out& out, const ParamMap& params) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (std::is_same_v<Out, ByteSink>) {
      if (transcode_params_unchecked(out, params)) return;
    }
    transcode_params(out, params);
  } else {
    encode_params_entrywise(out, params);
  }
}

template <class Out>
void encode_descriptor(Out& out, const PayloadDescriptor& d) noexcept {
  out.string(d.kind);
  out.string(d.content_hash);
  out.string(d.framework);
  out.string(d.version);
  out.string(d.io_schema);
  out.u8(d.preprocessing_ref ? 1 : 0);
  if (d.preprocessing_ref) out.string(*d.preprocessing_ref);
}

template <class Out>
void encode_members(Out& out, const std::vector<StageOp>& members) noexcept {
  out.count(members.size());
  for (const StageOp& member : members) {
    out.string(member.token);
    out.count(member.refs.size());
    for (const StageRef& ref : member.refs) {
      out.u8(static_cast<std::uint8_t>(ref.kind));
      out.count(ref.index);
    }
  }
}

template <class Out>
void encode_record(Out& out, const NodeKey& key) noexcept {
  out.u8(static_cast<std::uint8_t>(key.kind()));
  switch (key.kind()) {
    case NodeKind::Source:
      out.string(key.name());
      encode_params(out, key.params());
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      out.string(key.name());
      encode_params(out, key.params());
      out.ids(key.inputs());
      return;
    case NodeKind::External:
      encode_descriptor(out, key.descriptor());
      encode_params(out, key.params());
      out.ids(key.inputs());
      return;
    case NodeKind::Stage:
      out.ids(key.inputs());
      encode_members(out, key.members());
      return;
    case NodeKind::Exchange:
    case NodeKind::Join:
      encode_params(out, key.params());
      out.ids(key.inputs());
      return;
  }
}

// The bound of bound_record; widest gets what a u32 field must hold.
std::size_t record_bound(const NodeKey& key, std::uint64_t& widest) noexcept {
  const std::size_t inputs = key.inputs().size();
  switch (key.kind()) {
    case NodeKind::Source:
      widest |= key.name().size();
      return 1 + 4 + key.name().size() + params_bound(key.params());
    case NodeKind::Op:
    case NodeKind::Reduction:
      widest |= key.name().size() | inputs;
      return 1 + 4 + key.name().size() + params_bound(key.params()) + 4 + 8 * inputs;
    case NodeKind::Exchange:
    case NodeKind::Join:
      widest |= inputs;
      return 1 + params_bound(key.params()) + 4 + 8 * inputs;
    case NodeKind::External:
    case NodeKind::Stage: break;
  }
  EncodedSize exact;
  encode_record(exact, key);
  widest |= exact.widest;
  return exact.bytes;
}

// The ByteSink calls, unchecked, for a record written into room that its
// bound guarantees.
struct UncheckedRecordWriter : UncheckedWriter {
  void u8(std::uint8_t v) noexcept { *out++ = static_cast<char>(v); }
  void u64(std::uint64_t v) noexcept {
    store_u64_le(out, v);
    out += 8;
  }
  void string(std::string_view s) noexcept {
    count(s.size());
    bytes(s);
  }
  void ids(std::span<const NodeId> ids) noexcept {
    count(ids.size());
    if constexpr (std::endian::native == std::endian::little) {
      // Mostly one to three ids: moved inline, not by a library call.
      copy_short(out, ids.data(), ids.size() * 8);
      out += ids.size() * 8;
    } else {
      for (NodeId id : ids) u64(id);
    }
  }
};

}  // namespace

void measure_params(EncodedSize& size, const ParamMap& params) noexcept { encode_params(size, params); }
void write_params(ByteSink& sink, const ParamMap& params) noexcept { encode_params(sink, params); }

[[gnu::flatten]] void measure_record(EncodedSize& size, const NodeKey& key) { encode_record(size, key); }

[[gnu::flatten]] void write_record(ByteSink& sink, const NodeKey& key) { encode_record(sink, key); }

[[gnu::flatten]] char* write_record_within(char* at, const char* end, const NodeKey& key, std::uint64_t& widest) noexcept {
  if (static_cast<std::size_t>(end - at) < record_bound(key, widest)) return nullptr;
  UncheckedRecordWriter writer{{at}};
  encode_record(writer, key);
  return writer.out;
}

void bound_record(EncodedSize& size, const NodeKey& key) {
  size.bytes += record_bound(key, size.widest);
}

}  // namespace quorvel
