#include "serialize/record_encoding.hpp"

#include <bit>

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
void encode_params(Out& out, const ParamMap& params) noexcept {
  out.count(params.size());
  for (const ParamEntryView entry : params) {
    out.string(entry.name);
    encode_value(out, entry.value);
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
void encode_record(Out& out, const NodeKey& key) {
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

}  // namespace

void measure_params(EncodedSize& size, const ParamMap& params) noexcept { encode_params(size, params); }
void write_params(ByteSink& sink, const ParamMap& params) noexcept { encode_params(sink, params); }

void measure_record(EncodedSize& size, const NodeKey& key) { encode_record(size, key); }
void write_record(ByteSink& sink, const NodeKey& key) { encode_record(sink, key); }

}  // namespace quorvel
