// NodeKey::token: the canonical operator text of a node, without inputs.
#include <string>

#include "node/node_key.hpp"
#include "param/token_escape.hpp"

namespace quorvel {

namespace {

std::string named_base(const char* prefix, std::string_view name) {
  std::string base(prefix);
  append_escaped_token(base, name);
  return base;
}

}  // namespace

std::string NodeKey::token() const {
  switch (kind_) {
    case NodeKind::Source: return with_params(named_base("src|", name_.view()), params_);
    case NodeKind::Op: return with_params(named_base("op|", name_.view()), params_);
    case NodeKind::Reduction: return with_params(named_base("red|", name_.view()), params_);
    case NodeKind::External: {
      // The descriptor strings go in as they are, unescaped.
      const PayloadDescriptor& d = *descriptor_;
      std::string base = "ext|";
      for (const std::string* part : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        base.append(*part);
        base.push_back('|');
      }
      base.append(d.preprocessing_ref ? *d.preprocessing_ref : std::string("-"));
      return with_params(std::move(base), params_);
    }
    case NodeKind::Stage: return "stage|" + std::to_string(members_->size());
    case NodeKind::Exchange: return with_params("exch", params_);
    case NodeKind::Join: return with_params("join", params_);
  }
  return {};
}

}  // namespace quorvel
