#include "node/node_key.hpp"

#include "support/internal_error.hpp"

namespace quorvel {

NodeKey NodeKey::source(std::string_view name, ParamMap params) {
  return NodeKey(NodeKind::Source, NodeName(name), std::move(params), {});
}

NodeKey NodeKey::op(std::string_view name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Op, NodeName(name), std::move(params), std::move(inputs));
}

NodeKey NodeKey::reduction(std::string_view name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Reduction, NodeName(name), std::move(params), std::move(inputs));
}

NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::External, std::move(descriptor), std::move(params), std::move(inputs));
}

NodeKey NodeKey::stage(NodeInputs inputs, std::vector<StageOp> members) {
  return NodeKey(NodeKind::Stage, std::move(members), ParamMap(), std::move(inputs));
}

NodeKey::NodeKey(const NodeKey& other) : kind_(other.kind_), params_(other.params_), inputs_(other.inputs_) {
  if (carries_extra(kind_)) {
    const Extra* extra = other.extra();
    set_extra(extra != nullptr ? extra->clone() : nullptr);
  } else {
    new (&head_.name) NodeName(other.head_.name);
  }
}

NodeKey NodeKey::exchange(ParamMap scheme, NodeInputs inputs) {
  return NodeKey(NodeKind::Exchange, {}, std::move(scheme), std::move(inputs));
}

NodeKey NodeKey::join(ParamMap scheme, NodeInputs inputs) {
  return NodeKey(NodeKind::Join, {}, std::move(scheme), std::move(inputs));
}

const PayloadDescriptor& NodeKey::descriptor() const {
  check_invariant(kind_ == NodeKind::External && extra() != nullptr, "descriptor of an external node",
                  "node is not external");
  return descriptor_value();
}

const std::vector<StageOp>& NodeKey::members() const {
  check_invariant(kind_ == NodeKind::Stage && extra() != nullptr, "members of a stage node",
                  "node is not a stage");
  return members_value();
}

NodeKey NodeKey::with_inputs(NodeInputs inputs) const {
  NodeKey copy = *this;
  if (kind_ != NodeKind::Source) copy.inputs_ = std::move(inputs);
  return copy;
}

bool same_operator(const NodeKey& a, const NodeKey& b) noexcept {
  if (a.kind_ != b.kind_ || !(a.params_ == b.params_)) return false;
  if (a.kind_ == NodeKind::External) return a.descriptor_value() == b.descriptor_value();
  if (a.kind_ == NodeKind::Stage) return a.members_value() == b.members_value();
  return a.head_.name == b.head_.name;
}

bool operator==(const NodeKey& a, const NodeKey& b) noexcept {
  return a.inputs_ == b.inputs_ && same_operator(a, b);
}

// Inlined whole into both hashes (flatten), so that their hasher stays in
// registers: split off, the state went through memory at every word.
inline void NodeKey::hash_operator_into(KeyedHasher& h) const noexcept {
  // Every variable-length part goes in after its length (the name's shares
  // a word with the kind), so distinct keys are distinct word streams.
  const std::string_view name = this->name();
  h.word(static_cast<std::uint64_t>(kind_) | static_cast<std::uint64_t>(name.size()) << 8);
  h.raw_bytes(name);
  params_.hash_into(h);
  if (kind_ == NodeKind::External) descriptor_value().hash_into(h);
  if (kind_ == NodeKind::Stage) {
    const std::vector<StageOp>& members = members_value();
    h.word(members.size());
    for (const StageOp& m : members) m.hash_into(h);
  }
}

[[gnu::flatten]] std::uint64_t NodeKey::operator_hash(const HashKey& key) const noexcept {
  KeyedHasher h(key);
  hash_operator_into(h);
  return h.finish();
}

[[gnu::flatten]] std::uint64_t NodeKey::hash(const HashKey& key) const noexcept {
  KeyedHasher h(key);
  hash_operator_into(h);
  h.word(inputs_.size());
  for (NodeId id : inputs_) h.word(id);
  return h.finish();
}

const char* kind_text(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
    case NodeKind::Join: return "join";
  }
  return "unknown";
}

}  // namespace quorvel
