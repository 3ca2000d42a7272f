#include "optimizer/mod/engine_key.hpp"

#include <string_view>

#include "param/token_escape.hpp"

namespace quorvel {

namespace {

// Length, colon, bytes: a field that cannot run into the next one.
void append_field(std::string& out, std::string_view field) {
  out.append(std::to_string(field.size()));
  out.push_back(':');
  out.append(field);
}

void append_external_key(const NodeKey& key, std::string& out) {
  const PayloadDescriptor& d = key.descriptor();
  out.append("ext#");
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
}

void append_stage_key(const NodeKey& key, std::string& out) {
  const std::vector<StageOp>& members = key.members();
  out.append("stage#");
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
}

}  // namespace

void append_engine_key(const NodeKey& key, std::string& out) {
  switch (key.kind()) {
    case NodeKind::External: return append_external_key(key, out);
    case NodeKind::Stage: return append_stage_key(key, out);
    default: return key.append_token(out);
  }
}

bool append_engine_key_head(const NodeKey& key, std::string& out) {
  // The key of these kinds is their token: the kind, the escaped name (no
  // '|' left in it), then '|' and the parameters when there are any.
  switch (key.kind()) {
    case NodeKind::Source: out.append("src|"); break;
    case NodeKind::Op: out.append("op|"); break;
    case NodeKind::Reduction: out.append("red|"); break;
    default: return false;
  }
  append_escaped_token(out, key.name());
  return true;
}

std::string engine_key(const NodeKey& key) {
  std::string out;
  append_engine_key(key, out);
  return out;
}

}  // namespace quorvel
