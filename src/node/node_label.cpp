// NodeKey::label: the human-readable text DOT rendering shows for a node.
#include <string>

#include "node/node_key.hpp"

namespace quorvel {

namespace {

std::string with_display(std::string base, const ParamMap& params) {
  if (params.empty()) return base;
  base.push_back(' ');
  params.append_display(base);
  return base;
}

}  // namespace

std::string NodeKey::label() const {
  switch (kind_) {
    case NodeKind::Source: return with_display(std::string("Source ").append(head_.name.view()), params_);
    case NodeKind::Op: return with_display(std::string("Op ").append(head_.name.view()), params_);
    case NodeKind::Reduction: return with_display(std::string("Reduction ").append(head_.name.view()), params_);
    case NodeKind::External: {
      const PayloadDescriptor& d = descriptor_value();
      return with_display("External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]",
                          params_);
    }
    case NodeKind::Stage: return "Stage[" + std::to_string(members_value().size()) + " members]";
    case NodeKind::Exchange: return with_display("Exchange", params_);
    case NodeKind::Join: return with_display("Join", params_);
  }
  return {};
}

}  // namespace quorvel
