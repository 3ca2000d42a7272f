// The complete identity of an IR node. Two nodes are the same node exactly
// when their keys are equal; every field takes part.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "node/node_id.hpp"
#include "node/node_inputs.hpp"
#include "node/node_name.hpp"
#include "node/payload_descriptor.hpp"
#include "node/stage_op.hpp"
#include "param/param_map.hpp"

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

  NodeKind kind() const noexcept { return kind_; }
  // Source, Op and Reduction carry a name; the others an empty one.
  std::string_view name() const noexcept { return name_.view(); }
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
      : kind_(kind), name_(std::move(name)), params_(std::move(params)), inputs_(std::move(inputs)) {}

  // The part only External and Stage nodes carry, the descriptor or the
  // members, held on the heap so that every other node pays one pointer
  // for both. Copies copy the value; kind_ tells which one it is.
  struct Extra {
    virtual ~Extra() = default;
    virtual std::unique_ptr<Extra> clone() const = 0;
  };
  template <class T>
  struct ExtraOf final : Extra {
    explicit ExtraOf(T v) : value(std::move(v)) {}
    std::unique_ptr<Extra> clone() const override { return std::make_unique<ExtraOf>(value); }
    T value;
  };
  class ExtraBox {
   public:
    ExtraBox() noexcept = default;
    template <class T>
    explicit ExtraBox(T value) : ptr_(std::make_unique<ExtraOf<T>>(std::move(value))) {}
    ExtraBox(const ExtraBox& other) : ptr_(other.ptr_ ? other.ptr_->clone() : nullptr) {}
    ExtraBox(ExtraBox&&) noexcept = default;
    ExtraBox& operator=(const ExtraBox& other) {
      if (this != &other) ptr_ = other.ptr_ ? other.ptr_->clone() : nullptr;
      return *this;
    }
    ExtraBox& operator=(ExtraBox&&) noexcept = default;

    bool has_value() const noexcept { return ptr_ != nullptr; }
    // The value, which must be a T.
    template <class T>
    const T& get() const noexcept {
      return static_cast<const ExtraOf<T>&>(*ptr_).value;
    }

   private:
    std::unique_ptr<Extra> ptr_;
  };

  // Feeds every field but the inputs, each variable-length part after its
  // length.
  void hash_operator_into(KeyedHasher& h) const noexcept;

  const PayloadDescriptor& descriptor_value() const noexcept { return extra_.get<PayloadDescriptor>(); }
  const std::vector<StageOp>& members_value() const noexcept { return extra_.get<std::vector<StageOp>>(); }

  // The kind and the name share the first two words.
  NodeKind kind_;
  NodeName name_;
  ParamMap params_;
  NodeInputs inputs_;
  ExtraBox extra_;
};

// Ten words: a store holds one per node.
static_assert(sizeof(void*) != 8 || sizeof(NodeKey) == 80);

// Lowercase kind text as the inspection view shows it ("source", "op", ...).
const char* kind_text(NodeKind kind) noexcept;

}  // namespace quorvel
