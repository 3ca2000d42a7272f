#include "serialize/node_record_reader.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "serialize/blob_format.hpp"

namespace quorvel {

namespace {

// Stage members and references are larger in memory than on the wire, so
// their up-front reservation is capped as well as bounded by the bytes.
constexpr std::size_t kStageReserveCap = 1024;

using Site = DecodeError::TagSite;

Outcome<NodeKey, DecodeError> read_named(Reader& reader, NodeKind kind, NodeId index) {
  auto name = reader.string_view();
  if (!name) return failure(name.error());
  auto params = reader.params();
  if (!params) return failure(params.error());
  if (kind == NodeKind::Source) return NodeKey::source(name.value(), std::move(params.value()));
  auto inputs = reader.inputs(index);
  if (!inputs) return failure(inputs.error());
  if (kind == NodeKind::Op) {
    return NodeKey::op(name.value(), std::move(params.value()), std::move(inputs.value()));
  }
  return NodeKey::reduction(name.value(), std::move(params.value()), std::move(inputs.value()));
}

Outcome<NodeKey, DecodeError> read_external(Reader& reader, NodeId index) {
  PayloadDescriptor descriptor;
  for (std::string* field : {&descriptor.kind, &descriptor.content_hash, &descriptor.framework, &descriptor.version,
                             &descriptor.io_schema}) {
    auto text = reader.string();
    if (!text) return failure(text.error());
    *field = std::move(text.value());
  }
  // Any non-zero presence byte means the reference follows.
  auto present = reader.u8();
  if (!present) return failure(present.error());
  if (present.value() != 0) {
    auto ref = reader.string();
    if (!ref) return failure(ref.error());
    descriptor.preprocessing_ref = std::move(ref.value());
  }
  auto params = reader.params();
  if (!params) return failure(params.error());
  auto inputs = reader.inputs(index);
  if (!inputs) return failure(inputs.error());
  return NodeKey::external(std::move(descriptor), std::move(params.value()), std::move(inputs.value()));
}

Outcome<StageRef, DecodeError> read_stage_ref(Reader& reader, std::uint64_t member_position) {
  auto tag = reader.u8();
  if (!tag) return failure(tag.error());
  if (tag.value() >= kStageRefTagCount) return failure(DecodeError::bad_tag(Site::StageRef, tag.value()));
  auto index = reader.u32();
  if (!index) return failure(index.error());
  if (static_cast<StageRef::Kind>(tag.value()) == StageRef::Kind::Input) return StageRef::input(index.value());
  if (index.value() >= member_position) return failure(DecodeError::bad_ref(index.value()));
  return StageRef::member(index.value());
}

Outcome<NodeKey, DecodeError> read_stage(Reader& reader, NodeId index) {
  auto inputs = reader.inputs(index);
  if (!inputs) return failure(inputs.error());
  auto member_count = reader.u32();
  if (!member_count) return failure(member_count.error());

  std::vector<StageOp> members;
  members.reserve(bounded_reserve(member_count.value(), reader.remaining(), kMinStageMemberBytes, kStageReserveCap));
  for (std::uint32_t m = 0; m < member_count.value(); ++m) {
    auto token = reader.string();
    if (!token) return failure(token.error());
    auto ref_count = reader.u32();
    if (!ref_count) return failure(ref_count.error());
    StageOp member{std::move(token.value()), {}};
    member.refs.reserve(bounded_reserve(ref_count.value(), reader.remaining(), kMinStageRefBytes, kStageReserveCap));
    for (std::uint32_t r = 0; r < ref_count.value(); ++r) {
      auto ref = read_stage_ref(reader, m);
      if (!ref) return failure(ref.error());
      member.refs.push_back(ref.value());
    }
    members.push_back(std::move(member));
  }
  return NodeKey::stage(std::move(inputs.value()), std::move(members));
}

Outcome<NodeKey, DecodeError> read_scheme_node(Reader& reader, NodeKind kind, NodeId index) {
  auto scheme = reader.params();
  if (!scheme) return failure(scheme.error());
  auto inputs = reader.inputs(index);
  if (!inputs) return failure(inputs.error());
  if (kind == NodeKind::Exchange) return NodeKey::exchange(std::move(scheme.value()), std::move(inputs.value()));
  return NodeKey::join(std::move(scheme.value()), std::move(inputs.value()));
}

}  // namespace

bool read_common_record(Reader& reader, NodeId index, std::vector<NodeKey>& into) {
  const std::size_t start = reader.position();
  if (reader.remaining() == 0) return false;
  const auto kind = static_cast<NodeKind>(reader.peek_u8());
  if (kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction) {
    reader.skip(1);
    if (const std::optional<std::string_view> name = reader.short_ascii_string()) {
      // The key is made in place, its map and inputs read straight into it,
      // and taken back when they turn out to be of another shape.
      bool params_read = false;
      bool inputs_read = kind == NodeKind::Source;
      into.emplace_back(
          NodeKey::NamedParts{}, kind, *name, [&] { return reader.params_in_place(params_read); },
          [&] { return params_read && !inputs_read ? reader.few_inputs(index, inputs_read) : NodeInputs(); });
      if (params_read && inputs_read) return true;
      into.pop_back();
    }
  }
  reader.rewind(start);
  return false;
}

Outcome<NodeKey, DecodeError> read_node_record(Reader& reader, NodeId index) {
  auto tag = reader.u8();
  if (!tag) return failure(tag.error());
  if (tag.value() >= kNodeKindCount) return failure(DecodeError::bad_tag(Site::Node, tag.value()));
  const auto kind = static_cast<NodeKind>(tag.value());
  switch (kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: return read_named(reader, kind, index);
    case NodeKind::External: return read_external(reader, index);
    case NodeKind::Stage: return read_stage(reader, index);
    case NodeKind::Exchange:
    case NodeKind::Join: return read_scheme_node(reader, kind, index);
  }
  return failure(DecodeError::bad_tag(Site::Node, tag.value()));
}

}  // namespace quorvel
