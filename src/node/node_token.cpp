// NodeKey::token: the canonical operator text of a node, without inputs.
#include <string>

#include "node/node_key.hpp"
#include "param/token_escape.hpp"

namespace quorvel {

std::string NodeKey::token() const {
  std::string out;
  append_token(out);
  return out;
}

void NodeKey::append_token(std::string& out) const {
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      out.append(kind_ == NodeKind::Source ? "src|" : kind_ == NodeKind::Op ? "op|" : "red|");
      append_escaped_token(out, head_.name.view());
      append_params_token(out, params_);
      return;
    case NodeKind::External: {
      // The descriptor strings go in as they are, unescaped.
      const PayloadDescriptor& d = descriptor_value();
      out.append("ext|");
      for (const std::string* part : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        out.append(*part);
        out.push_back('|');
      }
      out.append(d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : std::string_view("-"));
      append_params_token(out, params_);
      return;
    }
    case NodeKind::Stage:
      out.append("stage|");
      out.append(std::to_string(members_value().size()));
      return;
    case NodeKind::Exchange:
      out.append("exch");
      append_params_token(out, params_);
      return;
    case NodeKind::Join:
      out.append("join");
      append_params_token(out, params_);
      return;
  }
}

}  // namespace quorvel
