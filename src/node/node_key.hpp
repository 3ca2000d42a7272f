// The complete identity of an IR node. Two nodes are the same node exactly
// when their keys are equal; every field takes part.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "node/node_id.hpp"
#include "node/node_inputs.hpp"
#include "node/node_name.hpp"
#include "node/payload_descriptor.hpp"
#include "node/stage_op.hpp"
#include "param/param_map.hpp"
#include "support/swap_bytes.hpp"

namespace quorvel {

// Variant order is the node tag of the blob format.
enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr std::uint8_t kNodeKindCount = 7;

class NodeKey {
 public:
  static NodeKey source(std::string_view name, ParamMap params);
  static NodeKey op(std::string_view name, ParamMap params, NodeInputs inputs);
  static NodeKey reduction(std::string_view name, ParamMap params, NodeInputs inputs);
  static NodeKey external(PayloadDescriptor descriptor, ParamMap params, NodeInputs inputs);
  static NodeKey stage(NodeInputs inputs, std::vector<StageOp> members);
  static NodeKey exchange(ParamMap scheme, NodeInputs inputs);
  static NodeKey join(ParamMap scheme, NodeInputs inputs);

  // A Source (no inputs), Op or Reduction key built in place, as by an
  // emplace into a container: what the factories give, with no temporary
  // key or part moved.
  struct NamedParts {};
  // The parameters and inputs are made by make_params() and then
  // make_inputs(), straight into the key (a reader reads them in that
  // order).
  template <class MakeParams, class MakeInputs>
  NodeKey(NamedParts, NodeKind kind, std::string_view name, MakeParams&& make_params, MakeInputs&& make_inputs)
      : kind_(kind), params_(make_params()), inputs_(make_inputs()) {
    new (&head_.name) NodeName(name);
  }

  NodeKind kind() const noexcept { return kind_; }
  // Source, Op and Reduction carry a name; the others an empty one.
  std::string_view name() const noexcept { return carries_extra(kind_) ? std::string_view() : head_.name.view(); }
  // The params of Source/Op/Reduction/External, the scheme of
  // Exchange/Join; empty for a Stage.
  const ParamMap& params() const noexcept { return params_; }
  // The ordered inputs; always empty for a Source.
  const NodeInputs& inputs() const noexcept { return inputs_; }
  // External nodes only.
  const PayloadDescriptor& descriptor() const;
  // Stage nodes only.
  const std::vector<StageOp>& members() const;

  // A copy with the inputs replaced (a Source stays without inputs).
  NodeKey with_inputs(NodeInputs inputs) const;

  friend bool operator==(const NodeKey& a, const NodeKey& b) noexcept;
  // The keyed hash of every field (see support/keyed_hash.hpp).
  std::uint64_t hash(const HashKey& key) const noexcept;

  // Whether a and b are the same operator: equal in everything but their
  // inputs (kind, name, params, and the descriptor or the members).
  friend bool same_operator(const NodeKey& a, const NodeKey& b) noexcept;
  // The keyed hash of the fields same_operator compares.
  std::uint64_t operator_hash(const HashKey& key) const noexcept;

  // The canonical operator text without inputs, e.g. "op|add|k=i2".
  std::string token() const;
  // Appends token() to out (a loop reusing one buffer allocates nothing).
  void append_token(std::string& out) const;
  // The human-readable label used by DOT rendering, e.g. "Op add {k=2}".
  std::string label() const;

 private:
  // The parts are moved in once: the factories take them by value.
  NodeKey(NodeKind kind, NodeName&& name, ParamMap&& params, NodeInputs&& inputs)
      : kind_(kind), params_(std::move(params)), inputs_(std::move(inputs)) {
    new (&head_.name) NodeName(std::move(name));
  }
  // An External or Stage key, its descriptor or members moved to the heap.
  template <class T>
  NodeKey(NodeKind kind, T&& extra, ParamMap&& params, NodeInputs&& inputs)
      : kind_(kind), params_(std::move(params)), inputs_(std::move(inputs)) {
    set_extra(new ExtraOf<std::decay_t<T>>(std::forward<T>(extra)));
  }

 public:
  NodeKey(const NodeKey& other);
  NodeKey(NodeKey&& other) noexcept : kind_(other.kind_), params_(std::move(other.params_)), inputs_(std::move(other.inputs_)) {
    if (carries_extra(kind_)) {
      set_extra(other.extra());
      other.set_extra(nullptr);
    } else {
      new (&head_.name) NodeName(std::move(other.head_.name));
    }
  }
  NodeKey& operator=(NodeKey other) noexcept {
    swap(other);
    return *this;
  }
  ~NodeKey() {
    if (carries_extra(kind_)) {
      delete extra();
    } else {
      head_.name.~NodeName();
    }
  }

 private:
  // The part only External and Stage nodes carry, the descriptor or the
  // members. Those nodes have no name, so the part's address takes the
  // name's place, and no other node pays for it. Copies copy the value.
  struct Extra {
    virtual ~Extra() = default;
    virtual Extra* clone() const = 0;
  };
  template <class T>
  struct ExtraOf final : Extra {
    explicit ExtraOf(T v) : value(std::move(v)) {}
    Extra* clone() const override { return new ExtraOf(value); }
    T value;
  };
  // The name, or (External and Stage) the Extra's address; kind_ tells
  // which. Both move as bytes.
  union Head {
    Head() noexcept {}
    ~Head() {}
    NodeName name;
    unsigned char extra[sizeof(Extra*)];
  };
  static_assert(sizeof(Head) == sizeof(NodeName) && alignof(Head) == 1);

  static bool carries_extra(NodeKind kind) noexcept { return kind == NodeKind::External || kind == NodeKind::Stage; }
  // Null only in a key moved from.
  Extra* extra() const noexcept {
    Extra* p;
    std::memcpy(&p, head_.extra, sizeof p);
    return p;
  }
  void set_extra(Extra* p) noexcept { std::memcpy(head_.extra, &p, sizeof p); }
  void swap(NodeKey& other) noexcept {
    std::swap(kind_, other.kind_);
    swap_bytes<sizeof(Head)>(&head_, &other.head_);
    std::swap(params_, other.params_);
    inputs_.swap(other.inputs_);
  }

  // Feeds every field but the inputs, each variable-length part after its
  // length.
  void hash_operator_into(KeyedHasher& h) const noexcept;

  const PayloadDescriptor& descriptor_value() const noexcept {
    return static_cast<const ExtraOf<PayloadDescriptor>*>(extra())->value;
  }
  const std::vector<StageOp>& members_value() const noexcept {
    return static_cast<const ExtraOf<std::vector<StageOp>>*>(extra())->value;
  }

  // The kind and the name share the first two words.
  NodeKind kind_;
  Head head_;
  ParamMap params_;
  NodeInputs inputs_;
};

// The factories of the keys made most often, inline: a reader or builder
// that moves its parts into one then moves no temporaries.
inline NodeKey NodeKey::source(std::string_view name, ParamMap params) {
  return NodeKey(NodeKind::Source, NodeName(name), std::move(params), {});
}

inline NodeKey NodeKey::op(std::string_view name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Op, NodeName(name), std::move(params), std::move(inputs));
}

inline NodeKey NodeKey::reduction(std::string_view name, ParamMap params, NodeInputs inputs) {
  return NodeKey(NodeKind::Reduction, NodeName(name), std::move(params), std::move(inputs));
}

inline NodeKey NodeKey::exchange(ParamMap scheme, NodeInputs inputs) {
  return NodeKey(NodeKind::Exchange, {}, std::move(scheme), std::move(inputs));
}

inline NodeKey NodeKey::join(ParamMap scheme, NodeInputs inputs) {
  return NodeKey(NodeKind::Join, {}, std::move(scheme), std::move(inputs));
}

// Nine words: a store holds one per node.
static_assert(sizeof(void*) != 8 || sizeof(NodeKey) == 72);

// Lowercase kind text as the inspection view shows it ("source", "op", ...).
const char* kind_text(NodeKind kind) noexcept;

}  // namespace quorvel
