#include "optimizer/mod/stage_fusion.hpp"

#include <limits>
#include <string>

#include "node/renumber.hpp"
#include "optimizer/mod/engine_key.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/shared_text.hpp"
#include "support/union_find.hpp"

namespace quorvel {

namespace {

// Positions of the hash-consed graph. The rewrite engine numbers classes
// with 32 bits, so every graph that reaches fusion fits.
using Pos = std::uint32_t;
constexpr Pos kNoPos = std::numeric_limits<Pos>::max();

// consumers[c]: the nodes using c, one entry per use, ascending; held as
// one flat array with an offset per node.
struct Consumers {
  LargeVector<std::uint64_t> offsets;  // n + 1
  LargeVector<Pos> users;

  std::span<const Pos> of(std::size_t c) const noexcept {
    return {users.data() + offsets[c], users.data() + offsets[c + 1]};
  }
};

Consumers consumers_of(const LargeVector<EngineNode>& nodes) {
  const std::size_t n = nodes.size();
  Consumers c;
  c.offsets.assign(n + 1, 0);
  for (const EngineNode& node : nodes) {
    for (NodeId input : node.inputs) ++c.offsets[input + 1];
  }
  for (std::size_t i = 0; i < n; ++i) c.offsets[i + 1] += c.offsets[i];
  c.users.resize(c.offsets[n]);
  LargeVector<std::uint64_t> fill(c.offsets.begin(), c.offsets.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    for (NodeId input : nodes[i].inputs) c.users[fill[input]++] = static_cast<Pos>(i);
  }
  return c;
}

LargeVector<Pos> single_use_groups(const LargeVector<EngineNode>& nodes, const Consumers& consumers,
                                             const LargeVector<std::uint8_t>& is_output) {
  const std::size_t n = nodes.size();
  UnionFind<Pos> groups(n);  // a group's root is its lowest member
  for (std::size_t i = 0; i < n; ++i) {
    if (nodes[i].barrier || is_output[i]) continue;
    const auto uses = consumers.of(i);
    if (uses.size() == 1 && !nodes[uses[0]].barrier) groups.unite_keeping_lowest(static_cast<Pos>(i), uses[0]);
  }
  LargeVector<Pos> group(n);
  for (std::size_t i = 0; i < n; ++i) {
    group[i] = nodes[i].barrier ? static_cast<Pos>(i) : groups.find_mut(static_cast<Pos>(i));
  }
  return group;
}

LargeVector<Pos> maximal_groups(const LargeVector<EngineNode>& nodes, const Consumers& consumers,
                                          const LargeVector<std::uint8_t>& is_output) {
  const std::size_t n = nodes.size();
  LargeVector<Pos> group(n);
  for (std::size_t i = 0; i < n; ++i) group[i] = static_cast<Pos>(i);
  // Consumers lie above the node, so their groups are final when it is
  // visited.
  for (std::size_t p = n; p-- > 0;) {
    if (nodes[p].barrier || is_output[p]) continue;
    const auto uses = consumers.of(p);
    if (uses.empty()) continue;
    const Pos first = group[uses[0]];
    bool joins = true;
    for (Pos use : uses) {
      if (nodes[use].barrier || group[use] != first) {
        joins = false;
        break;
      }
    }
    if (joins) group[p] = first;
  }
  return group;
}

// Emits the groups in ascending order of their highest members, each
// after every group it reads.
class Emitter {
 public:
  Emitter(const EngineGraph& graph, const Prototypes& prototypes, const egraph::LocalSymbols& symbols,
          const LargeVector<Pos>& group, FusedGraph& out)
      : nodes_(graph.nodes),
        prototypes_(prototypes),
        symbols_(symbols),
        group_(group),
        out_(out),
        emitted_(graph.nodes.size(), kNoNode),
        member_index_(graph.nodes.size(), 0),
        input_position_(graph.nodes.size(), 0),
        input_stamp_(graph.nodes.size(), kNoPos) {}

  std::uint64_t emitted(std::uint64_t node) const {
    const std::uint64_t id = emitted_[group_[node]];
    if (id == kNoNode) fail_invariant("a group is emitted after every group it reads", std::to_string(node));
    return id;
  }

  void emit_single(Pos k) {
    const EngineNode& node = nodes_[k];
    renumber(node.inputs, [this](NodeId child) { return emitted(child); }, inputs_);
    const std::uint64_t id = out_.nodes.size();
    out_.nodes.push_back(prototypes_.at(node.op).with_inputs(NodeInputs(inputs_)));
    ++out_.boundary_nodes;
    emitted_[k] = id;
    out_.landing[k] = NodeMapEntry{id, std::nullopt};
  }

  void emit_stage(Pos k, std::span<const Pos> members) {
    for (std::size_t j = 0; j < members.size(); ++j) member_index_[members[j]] = static_cast<Pos>(j);
    inputs_.clear();
    std::vector<StageOp> ops;
    ops.reserve(members.size());
    for (Pos m : members) {
      StageOp op;
      op.token = token_of(nodes_[m].op);
      op.refs.reserve(nodes_[m].inputs.size());
      for (NodeId c : nodes_[m].inputs) {
        if (group_[c] == k) {
          op.refs.push_back(StageRef::member(member_index_[c]));
          continue;
        }
        const Pos g = group_[c];
        if (input_stamp_[g] != k) {
          input_stamp_[g] = k;
          input_position_[g] = static_cast<Pos>(inputs_.size());
          inputs_.push_back(emitted(c));
        }
        op.refs.push_back(StageRef::input(input_position_[g]));
      }
      ops.push_back(std::move(op));
    }
    const std::uint64_t id = out_.nodes.size();
    out_.nodes.push_back(NodeKey::stage(NodeInputs(inputs_), std::move(ops)));
    ++out_.stages;
    emitted_[k] = id;
    for (std::size_t j = 0; j < members.size(); ++j) out_.landing[members[j]] = NodeMapEntry{id, j};
  }

 private:
  // A member's token: process-wide symbol texts live as long as the
  // process and are borrowed; a text of this reduction alone is copied (or
  // written from the operator's prototype, when the symbol table was not
  // given it) once and shared by every member that has it.
  SharedText token_of(egraph::GlobalSymbol op) {
    if (!egraph::LocalSymbols::is_local(op)) return SharedText::borrowing(op.text());
    const std::size_t number = op.handle() & ~egraph::LocalSymbols::kLocalBit;
    if (local_tokens_.size() <= number) local_tokens_.resize(symbols_.local_count() + 1);
    SharedText& token = local_tokens_[number];
    if (token.empty()) {
      if (symbols_.has_text(op)) {
        token = SharedText(symbols_.text(op));
      } else {
        written_.clear();
        append_engine_key(prototypes_.at(op), written_);
        token = SharedText(written_);
      }
    }
    return token;
  }

  const LargeVector<EngineNode>& nodes_;
  const Prototypes& prototypes_;
  const egraph::LocalSymbols& symbols_;
  const LargeVector<Pos>& group_;
  FusedGraph& out_;
  LargeVector<std::uint64_t> emitted_;  // group identity -> new id
  LargeVector<Pos> member_index_;       // member -> index in its stage
  LargeVector<Pos> input_position_;     // producing group -> stage input
  LargeVector<Pos> input_stamp_;        // the stage input_position_ was set for
  std::vector<SharedText> local_tokens_;  // by local symbol number, copied on first use
  std::string written_;                   // a token written from a prototype
  NodeIds inputs_;
};

}  // namespace

FusedGraph stage_fusion(const EngineGraph& graph, const Prototypes& prototypes, const egraph::LocalSymbols& symbols,
                        bool maximal_fusion) {
  const LargeVector<EngineNode>& nodes = graph.nodes;
  const std::size_t n = nodes.size();
  if (n >= kNoPos) fail_invariant("a fused graph has fewer nodes than 32-bit positions", std::to_string(n));
  LargeVector<Pos> group;
  {
    const Consumers consumers = consumers_of(nodes);
    LargeVector<std::uint8_t> is_output(n, 0);
    for (NodeId output : graph.outputs) {
      if (output >= n) fail_invariant("fused outputs name nodes", std::to_string(output));
      is_output[output] = 1;
    }
    group = maximal_fusion ? maximal_groups(nodes, consumers, is_output) : single_use_groups(nodes, consumers, is_output);
  }

  // Member lists per group, ascending (flat, with offsets), and each
  // group's highest member.
  LargeVector<Pos> offsets(n + 1, 0);
  std::size_t groups = 0;  // a group is named by one of its members
  for (std::size_t i = 0; i < n; ++i) {
    ++offsets[group[i] + 1];
    if (group[i] == i) ++groups;
  }
  for (std::size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
  LargeVector<Pos> members(n);
  LargeVector<Pos> highest(n, kNoPos);
  {
    LargeVector<Pos> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      members[fill[group[i]]++] = static_cast<Pos>(i);
      highest[group[i]] = static_cast<Pos>(i);
    }
  }

  FusedGraph out;
  out.nodes.reserve(groups);
  out.landing.resize(n);
  Emitter emitter(graph, prototypes, symbols, group, out);
  // Highest members are distinct positions, so visiting positions in
  // ascending order and emitting the group whose highest member each one
  // is gives the groups sorted by highest member.
  CancellationPoller cancellation;
  for (std::size_t p = 0; p < n; ++p) {
    cancellation.tick();
    const Pos k = group[p];
    if (highest[k] != p) continue;
    const std::span<const Pos> list(members.data() + offsets[k], members.data() + offsets[k + 1]);
    if (nodes[k].barrier) {
      emitter.emit_single(k);
    } else {
      emitter.emit_stage(k, list);
    }
  }
  out.outputs.reserve(graph.outputs.size());
  for (NodeId output : graph.outputs) out.outputs.push_back(emitter.emitted(output));
  return out;
}

}  // namespace quorvel
