#include "serialize/record_encoding.hpp"

#include <bit>

namespace quorvel {

namespace {

void measure_value(EncodedSize& size, const ParamValueView& value) noexcept {
  size.bytes += 1;  // value tag
  switch (value.kind()) {
    case ParamKind::Int:
    case ParamKind::Float: size.bytes += 8; break;
    case ParamKind::Bool: size.bytes += 1; break;
    case ParamKind::Str: size.add_string(value.as_str().size()); break;
  }
}

void write_value(ByteSink& sink, const ParamValueView& value) noexcept {
  sink.u8(static_cast<std::uint8_t>(value.kind()));
  switch (value.kind()) {
    case ParamKind::Int: sink.u64(static_cast<std::uint64_t>(value.as_int())); break;
    // The bit pattern as stored: a NaN keeps its payload.
    case ParamKind::Float: sink.u64(std::bit_cast<std::uint64_t>(value.as_float())); break;
    case ParamKind::Bool: sink.u8(value.as_bool() ? 1 : 0); break;
    case ParamKind::Str: sink.string(value.as_str()); break;
  }
}

void measure_descriptor(EncodedSize& size, const PayloadDescriptor& d) noexcept {
  size.add_string(d.kind.size());
  size.add_string(d.content_hash.size());
  size.add_string(d.framework.size());
  size.add_string(d.version.size());
  size.add_string(d.io_schema.size());
  size.bytes += 1;  // preprocessing_ref presence
  if (d.preprocessing_ref) size.add_string(d.preprocessing_ref->size());
}

void write_descriptor(ByteSink& sink, const PayloadDescriptor& d) noexcept {
  sink.string(d.kind);
  sink.string(d.content_hash);
  sink.string(d.framework);
  sink.string(d.version);
  sink.string(d.io_schema);
  sink.u8(d.preprocessing_ref ? 1 : 0);
  if (d.preprocessing_ref) sink.string(*d.preprocessing_ref);
}

void measure_members(EncodedSize& size, const std::vector<StageOp>& members) noexcept {
  size.add_count(members.size());
  for (const StageOp& member : members) {
    size.add_string(member.token.size());
    size.add_count(member.refs.size());
    for (const StageRef& ref : member.refs) {
      size.bytes += 1;  // reference tag
      size.add_count(ref.index);
    }
  }
}

void write_members(ByteSink& sink, const std::vector<StageOp>& members) noexcept {
  sink.count(members.size());
  for (const StageOp& member : members) {
    sink.string(member.token);
    sink.count(member.refs.size());
    for (const StageRef& ref : member.refs) {
      sink.u8(static_cast<std::uint8_t>(ref.kind));
      sink.u32(static_cast<std::uint32_t>(ref.index));
    }
  }
}

}  // namespace

void measure_params(EncodedSize& size, const ParamMap& params) noexcept {
  size.add_count(params.size());
  for (const ParamEntryView entry : params) {
    size.add_string(entry.name.size());
    measure_value(size, entry.value);
  }
}

void write_params(ByteSink& sink, const ParamMap& params) noexcept {
  sink.count(params.size());
  for (const ParamEntryView entry : params) {
    sink.string(entry.name);
    write_value(sink, entry.value);
  }
}

void measure_record(EncodedSize& size, const NodeKey& key) {
  size.bytes += 1;  // node tag
  switch (key.kind()) {
    case NodeKind::Source:
      size.add_string(key.name().size());
      measure_params(size, key.params());
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      size.add_string(key.name().size());
      measure_params(size, key.params());
      size.add_ids(key.inputs().size());
      return;
    case NodeKind::External:
      measure_descriptor(size, key.descriptor());
      measure_params(size, key.params());
      size.add_ids(key.inputs().size());
      return;
    case NodeKind::Stage:
      size.add_ids(key.inputs().size());
      measure_members(size, key.members());
      return;
    case NodeKind::Exchange:
    case NodeKind::Join:
      measure_params(size, key.params());
      size.add_ids(key.inputs().size());
      return;
  }
}

void write_record(ByteSink& sink, const NodeKey& key) {
  sink.u8(static_cast<std::uint8_t>(key.kind()));
  switch (key.kind()) {
    case NodeKind::Source:
      sink.string(key.name());
      write_params(sink, key.params());
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      sink.string(key.name());
      write_params(sink, key.params());
      sink.ids(key.inputs());
      return;
    case NodeKind::External:
      write_descriptor(sink, key.descriptor());
      write_params(sink, key.params());
      sink.ids(key.inputs());
      return;
    case NodeKind::Stage:
      sink.ids(key.inputs());
      write_members(sink, key.members());
      return;
    case NodeKind::Exchange:
    case NodeKind::Join:
      write_params(sink, key.params());
      sink.ids(key.inputs());
      return;
  }
}

}  // namespace quorvel
