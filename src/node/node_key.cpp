#include "node/node_key.hpp"

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <span>

#include "support/internal_error.hpp"

namespace quorvel {

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
  // Every variable-length part goes in after its length, so distinct keys
  // are distinct word streams. Mostly the kind, the name's length and the
  // parameter map's shape share the first word (bit 7 tells that form from
  // the other, where the kind shares it with the name's length alone and
  // the map feeds its own), which saves a round of the hash in every key.
  const std::string_view name = this->name();
  const auto kind = static_cast<std::uint64_t>(kind_);
  std::uint32_t count = 0, size = 0;
  if (name.size() < (std::size_t{1} << 16) && params_.compact_shape(count, size)) {
    h.word(kind | 0x80 | static_cast<std::uint64_t>(name.size()) << 8 | static_cast<std::uint64_t>(size) << 24 |
           static_cast<std::uint64_t>(count) << 48);
    h.raw_bytes(name);
    const std::span<const unsigned char> encoding = params_.encoding();
    h.raw_bytes(std::string_view(reinterpret_cast<const char*>(encoding.data()), encoding.size()));
  } else {
    h.word(kind | static_cast<std::uint64_t>(name.size()) << 8);
    h.raw_bytes(name);
    params_.hash_into(h);
  }
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
  if (const std::size_t param_words = params_.canonical_words();
      param_words != 0 && !carries_extra(kind_) && head_.name.is_inline() && inputs_.is_inline()) {
    // Most keys hold everything inside the object, where their bytes are a
    // function of their value: they feed those words as they are, with no
    // length to measure and no loop whose count varies. The first word's
    // bit 6 (a kind takes bits 0 to 2) tells this form from the others.
    // The kind and the name are the object's first sixteen bytes, loaded
    // as two words (assembled from their parts on the stack instead, they
    // were read back before the parts' stores had landed, which stalls).
    static_assert(std::is_standard_layout_v<NodeKey> && offsetof(NodeKey, kind_) == 0 &&
                  offsetof(NodeKey, head_) == 1 && sizeof(NodeKind) == 1 && sizeof(Head) == 15);
    std::uint64_t head[2];
    std::memcpy(head, reinterpret_cast<const unsigned char*>(this), sizeof head);
    std::uint64_t params[4];
    std::memcpy(params, &params_, sizeof params);
    std::uint64_t inputs[3];
    std::memcpy(inputs, &inputs_, sizeof inputs);
    // A name of up to seven bytes fits the first word beside the kind: the
    // second then holds its size alone, which goes into the first word's
    // bits 3 to 5 instead (bit 7 tells), and the second is left out.
    const std::uint64_t size = head[1] >> 56;
    if (size <= 7) {
      h.word(head[0] | 0xC0 | size << 3);
    } else {
      h.word(head[0] | 0x40);
      h.word(head[1]);
    }
    h.word(params[0]);
    if (param_words > 1) h.word(params[1]);
    if (param_words > 2) h.word(params[2]);
    if (param_words > 3) h.word(params[3]);
    h.word(inputs[0]);
    h.word(inputs[1]);
    h.word(inputs[2]);
    return h.finish();
  }
  hash_operator_into(h);
  // Inputs are mostly few and below 2^32: then the count (with bit 31 set)
  // and the ids go in as 32-bit halves, two to a word. Otherwise the count
  // with bit 63 set (clear in the other form, where it is an id's top
  // bit), then an id a word.
  const std::size_t n = inputs_.size();
  std::uint64_t wide = n >> 31;
  for (NodeId id : inputs_) wide |= id >> 32;
  if (wide == 0) {
    std::uint64_t pending = n | 0x80000000u;
    bool low_half_only = true;
    for (NodeId id : inputs_) {
      if (low_half_only) {
        h.word(pending | id << 32);
      } else {
        pending = id;
      }
      low_half_only = !low_half_only;
    }
    if (low_half_only) h.word(pending);
  } else {
    h.word(n | std::uint64_t{1} << 63);
    for (NodeId id : inputs_) h.word(id);
  }
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
