#include "optimizer/mod/engine_key.hpp"

#include <string_view>

namespace quorvel {

namespace {

// Length, colon, bytes: a field that cannot run into the next one.
void append_field(std::string& out, std::string_view field) {
  out.append(std::to_string(field.size()));
  out.push_back(':');
  out.append(field);
}

std::string external_key(const NodeKey& key) {
  const PayloadDescriptor& d = key.descriptor();
  std::string out = "ext#";
  // The token brings the params (escaped); the fields make the descriptor
  // unambiguous.
  append_field(out, key.token());
  for (const std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
    append_field(out, *field);
  }
  if (d.preprocessing_ref) {
    out.push_back('+');
    append_field(out, *d.preprocessing_ref);
  } else {
    out.push_back('-');
  }
  return out;
}

std::string stage_key(const NodeKey& key) {
  const std::vector<StageOp>& members = key.members();
  std::string out = "stage#";
  out.append(std::to_string(members.size()));
  for (const StageOp& member : members) {
    out.push_back('/');
    append_field(out, member.token);
    out.append(std::to_string(member.refs.size()));
    out.push_back(':');
    for (const StageRef& ref : member.refs) {
      out.push_back(ref.kind == StageRef::Kind::Input ? 'i' : 'm');
      out.append(std::to_string(ref.index));
      out.push_back(',');
    }
  }
  return out;
}

}  // namespace

std::string engine_key(const NodeKey& key) {
  switch (key.kind()) {
    case NodeKind::External: return external_key(key);
    case NodeKind::Stage: return stage_key(key);
    default: return key.token();
  }
}

}  // namespace quorvel
