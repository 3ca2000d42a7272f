// Shared helpers for the reduction-pipeline tests: node builders, the
// identity tokens, a fixed-seed graph generator, and an independent check
// that a reduced graph computes what the graph it came from computes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "node/node_key.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/engine/rewrite_engine.hpp"
#include "optimizer/mod/engine_key.hpp"
#include "optimizer/mod/reduced.hpp"

namespace quorvel::optimizer_test {

// The four tokens the identity rules eliminate.
inline constexpr std::string_view kAddZeroRight = "op|add|scalar=f0000000000000000;side=sr";
inline constexpr std::string_view kAddZeroLeft = "op|add|scalar=f0000000000000000;side=sl";
inline constexpr std::string_view kMulOneRight = "op|mul|scalar=f3ff0000000000000;side=sr";
inline constexpr std::string_view kMulOneLeft = "op|mul|scalar=f3ff0000000000000;side=sl";

inline NodeKey src(std::string_view name) { return NodeKey::source(name, {}); }
inline NodeKey op(std::string_view name, NodeInputs inputs) { return NodeKey::op(name, {}, std::move(inputs)); }

inline ParamMap scalar_side(ParamValue scalar, const char* side) {
  return ParamMap({{"scalar", std::move(scalar)}, {"side", ParamValue::text(side)}});
}
// add(input, 0.0) with the given side; its token is kAddZeroRight/Left.
inline NodeKey add_zero(NodeId input, const char* side = "r") {
  return NodeKey::op("add", scalar_side(ParamValue::floating(0.0), side), {input});
}
inline NodeKey mul_one(NodeId input, const char* side = "r") {
  return NodeKey::op("mul", scalar_side(ParamValue::floating(1.0), side), {input});
}

inline StageOp member(std::string token, StageRefs refs) {
  return StageOp{std::move(token), std::move(refs)};
}
inline StageRef in(std::uint32_t k) { return StageRef::input(k); }
inline StageRef mem(std::uint32_t j) { return StageRef::member(j); }

// prefix followed by k in decimal.
inline std::string numbered(std::string_view prefix, std::uint64_t k) {
  std::string text(prefix);
  text += std::to_string(k);
  return text;
}

// A readable rendering of a node list for failure messages.
inline std::string describe(const std::vector<NodeKey>& nodes) {
  std::string out;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    out += numbered("\n  ", i);
    out += ": ";
    out += engine_key(nodes[i]);
    out += " <-";
    for (NodeId input : nodes[i].inputs()) out += numbered(" ", input);
    if (nodes[i].kind() != NodeKind::Stage) continue;
    for (const StageOp& m : nodes[i].members()) {
      out += "\n      " + m.token;
      for (const StageRef& r : m.refs) out += numbered(r.kind == StageRef::Kind::Input ? " In" : " M", r.index);
    }
  }
  return out;
}

inline std::string describe(const NodeMap& map) {
  std::string out;
  for (const auto& e : map) {
    if (!e) {
      out += " -";
      continue;
    }
    out += numbered(" (", e->id);
    if (e->member) out += numbered(",", *e->member);
    out += ")";
  }
  return out;
}

inline NodeMapSlot at(NodeId id, std::optional<std::size_t> member_index = std::nullopt) {
  return NodeMapEntry{id, member_index};
}
inline constexpr NodeMapSlot dropped{};

inline ReductionCounters counters(std::size_t input, std::size_t reachable, std::size_t canonical, std::size_t stages,
                                  std::size_t reduced, std::size_t boundary) {
  return ReductionCounters{input, reachable, canonical, stages, reduced, boundary};
}

// Whether the pipeline makes the node of this engine key a barrier: the
// key of an op node, and only of one, begins with "op|" (engine_key_test
// checks it), and only op nodes are fusable.
inline bool barrier_for_key(std::string_view key) { return !key.starts_with("op|"); }

// An engine node as the pipeline would build it from an operator text.
inline EngineNode enode(std::string_view op_text, EngineInputs inputs) {
  return EngineNode{egraph::GlobalSymbol(op_text), std::move(inputs), barrier_for_key(op_text)};
}

inline std::vector<std::string> op_texts(const EngineGraph& g) {
  std::vector<std::string> texts;
  for (const EngineNode& n : g.nodes) texts.push_back(n.op.str());
  return texts;
}
inline std::vector<NodeIds> input_lists(const EngineGraph& g) {
  std::vector<NodeIds> lists;
  for (const EngineNode& n : g.nodes) lists.push_back(n.inputs.to_vector());
  return lists;
}

// An engine that merges nothing: it hands the graph back as it is.
class IdentityEngine final : public RewriteEngine {
 public:
  CanonicalGraph canonicalize(const EngineGraph& graph) const override {
    CanonicalGraph out{graph, {}};
    for (std::uint64_t i = 0; i < graph.nodes.size(); ++i) out.canonical_index.push_back(i);
    return out;
  }
};

// Counts the calls it forwards to another engine.
class CountingEngine final : public RewriteEngine {
 public:
  explicit CountingEngine(const RewriteEngine& inner) : inner_(inner) {}
  CanonicalGraph canonicalize(const EngineGraph& graph) const override {
    ++calls;
    return inner_.canonicalize(graph);
  }
  mutable int calls = 0;

 private:
  const RewriteEngine& inner_;
};

// Values of a graph up to the equalities the default rules prove:
// identity ops pass their input through and the eight commutative
// two-input ops see their inputs sorted. Every other node is its engine
// key applied to the values of its inputs. Two nodes of two graphs have the
// same value number exactly when they compute the same term modulo those
// equalities, so a reduced graph must give each output the value the
// reduced-from graph gives it.
class ValueNumbers {
 public:
  std::uint64_t term(const std::string& op_text, std::vector<std::uint64_t> args) {
    if (args.size() == 1 && (op_text == kAddZeroRight || op_text == kAddZeroLeft || op_text == kMulOneRight ||
                             op_text == kMulOneLeft)) {
      return args[0];
    }
    static const std::vector<std::string> commutative = {"op|add", "op|mul", "op|and",     "op|or",
                                                         "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
    if (args.size() == 2 && std::find(commutative.begin(), commutative.end(), op_text) != commutative.end()) {
      std::sort(args.begin(), args.end());
    }
    auto [it, added] = table_.try_emplace({op_text, std::move(args)}, table_.size());
    return it->second;
  }

  // Value of every node of a node list in id order. A stage, made by the
  // reduction or given to it, is evaluated member by member; its value is
  // its last member's.
  std::vector<std::uint64_t> of(const std::vector<NodeKey>& nodes) {
    std::vector<std::uint64_t> values;
    values.reserve(nodes.size());
    for (const NodeKey& key : nodes) {
      std::vector<std::uint64_t> args;
      for (NodeId input : key.inputs()) args.push_back(values.at(input));
      if (key.kind() != NodeKind::Stage) {
        values.push_back(term(engine_key(key), std::move(args)));
        continue;
      }
      std::vector<std::uint64_t> member_values;
      for (const StageOp& m : key.members()) {
        std::vector<std::uint64_t> margs;
        for (const StageRef& r : m.refs) {
          margs.push_back(r.kind == StageRef::Kind::Input ? args.at(r.index) : member_values.at(r.index));
        }
        member_values.push_back(term(m.token.str(), std::move(margs)));
      }
      // A stage without members has nothing to look into.
      values.push_back(member_values.empty() ? term(engine_key(key), std::move(args)) : member_values.back());
    }
    return values;
  }

  // Value of one member of a stage node of nodes (values from of(nodes)).
  std::uint64_t member_value(const std::vector<NodeKey>& nodes, const std::vector<std::uint64_t>& values, NodeId id,
                             std::size_t member_index) {
    const NodeKey& key = nodes.at(id);
    std::vector<std::uint64_t> member_values;
    for (const StageOp& m : key.members()) {
      std::vector<std::uint64_t> margs;
      for (const StageRef& r : m.refs) {
        margs.push_back(r.kind == StageRef::Kind::Input ? values.at(key.inputs()[r.index])
                                                        : member_values.at(r.index));
      }
      member_values.push_back(term(m.token.str(), std::move(margs)));
    }
    return member_values.at(member_index);
  }

 private:
  std::map<std::pair<std::string, std::vector<std::uint64_t>>, std::uint64_t> table_;
};

// Which nodes the outputs depend on, found independently of the pipeline.
inline std::vector<bool> reachable_from(const std::vector<NodeKey>& nodes, const NodeIds& outputs) {
  std::vector<bool> reached(nodes.size(), false);
  for (NodeId o : outputs) reached.at(o) = true;
  for (std::size_t i = nodes.size(); i-- > 0;) {
    if (!reached[i]) continue;
    for (NodeId input : nodes[i].inputs()) reached.at(input) = true;
  }
  return reached;
}

// The facts every Reduced record of nodes and outputs must satisfy.
// semantic: also compare values under the default rules' equalities (only
// meaningful for engines whose merges those equalities explain).
inline void expect_reduced_invariants(const std::vector<NodeKey>& nodes, const NodeIds& outputs, const Reduced& r,
                                      bool semantic = true) {
  const ReductionCounters& c = r.counters;
  EXPECT_EQ(c.input_nodes, nodes.size());
  EXPECT_GE(c.input_nodes, c.reachable_nodes);
  EXPECT_GE(c.reachable_nodes, c.canonical_nodes);
  EXPECT_GE(c.canonical_nodes, c.reduced_nodes);
  EXPECT_EQ(c.reduced_nodes, c.stages + c.boundary_nodes);
  EXPECT_EQ(c.reduced_nodes, r.nodes.size());

  std::size_t op_nodes = 0;
  for (std::size_t i = 0; i < r.nodes.size(); ++i) {
    if (r.nodes[i].kind() == NodeKind::Op) ++op_nodes;
    for (NodeId input : r.nodes[i].inputs()) ASSERT_LT(input, i) << "node " << i << " reads a later node";
  }
  EXPECT_EQ(op_nodes, 0u) << "fusion leaves no op node unstaged";

  ASSERT_EQ(r.outputs.size(), outputs.size());
  for (NodeId o : r.outputs) ASSERT_LT(o, r.nodes.size());

  ASSERT_EQ(r.node_map.size(), nodes.size());
  const std::vector<bool> reached = reachable_from(nodes, outputs);
  const auto reachable = static_cast<std::size_t>(std::count(reached.begin(), reached.end(), true));
  EXPECT_EQ(c.reachable_nodes, reachable);
  for (std::size_t x = 0; x < nodes.size(); ++x) {
    ASSERT_EQ(r.node_map[x].has_value(), reached[x]) << "node map entry of " << x;
    if (!reached[x]) continue;
    const NodeMapEntry& e = *r.node_map[x];
    ASSERT_LT(e.id, r.nodes.size());
    if (e.member) {
      ASSERT_EQ(r.nodes[e.id].kind(), NodeKind::Stage) << "member index on a non-stage landing of " << x;
      ASSERT_LT(*e.member, r.nodes[e.id].members().size());
    }
    if (nodes[x].kind() != NodeKind::Op) {
      // A non-op node lands on a rebuilt copy of itself.
      EXPECT_FALSE(e.member.has_value()) << x;
      EXPECT_EQ(engine_key(r.nodes[e.id]), engine_key(nodes[x])) << x;
      EXPECT_EQ(r.nodes[e.id].inputs().size(), nodes[x].inputs().size()) << x;
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const NodeMapEntry& e = *r.node_map[outputs[i]];
    EXPECT_EQ(e.id, r.outputs[i]) << "output " << i;
    // An output is the sink of its stage: the stage's last member.
    if (e.member) {
      EXPECT_EQ(*e.member + 1, r.nodes[e.id].members().size()) << "output " << i;
    }
  }
  // A stage made by fusion names each producing node once (a stage that
  // was given keeps its inputs as they were).
  std::vector<bool> rebuilt(r.nodes.size(), false);
  for (std::size_t x = 0; x < nodes.size(); ++x) {
    if (r.node_map[x] && nodes[x].kind() != NodeKind::Op) rebuilt[r.node_map[x]->id] = true;
  }
  for (std::size_t i = 0; i < r.nodes.size(); ++i) {
    const NodeKey& key = r.nodes[i];
    if (key.kind() != NodeKind::Stage || rebuilt[i]) continue;
    NodeIds sorted = key.inputs().to_vector();
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << key.label();
  }

  if (!semantic) return;
  ValueNumbers numbers;
  const std::vector<std::uint64_t> before = numbers.of(nodes);
  const std::vector<std::uint64_t> after = numbers.of(r.nodes);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    EXPECT_EQ(after[r.outputs[i]], before[outputs[i]]) << "output " << i << " computes something else";
  }
  for (std::size_t x = 0; x < nodes.size(); ++x) {
    if (!r.node_map[x]) continue;
    const NodeMapEntry& e = *r.node_map[x];
    const std::uint64_t landed = e.member ? numbers.member_value(r.nodes, after, e.id, *e.member) : after[e.id];
    EXPECT_EQ(landed, before[x]) << "node " << x << " landed on another value";
  }
}

inline void expect_same_reduced(const Reduced& a, const Reduced& b) {
  EXPECT_EQ(a.nodes, b.nodes) << describe(a.nodes) << "\nvs" << describe(b.nodes);
  EXPECT_EQ(a.outputs, b.outputs);
  EXPECT_EQ(a.node_map, b.node_map) << describe(a.node_map) << "\nvs" << describe(b.node_map);
  EXPECT_EQ(a.counters, b.counters);
}

// A random node list in id order, from a fixed seed. Few names, so that
// equal keys, commuted operands and identity ops occur; every kind of node,
// stage nodes included, with repeated inputs now and then.
struct RandomGraph {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
};

inline RandomGraph random_graph(std::uint64_t seed, std::size_t size) {
  std::mt19937_64 rng(seed);
  auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  // Inputs favour recent nodes, so that chains form.
  auto pick = [&](std::size_t i) -> NodeId {
    const std::uint64_t back = below(4) == 0 ? below(i) : below(std::min<std::uint64_t>(i, 4));
    return i - 1 - back;
  };
  auto inputs = [&](std::size_t i, std::size_t n) {
    NodeIds ids;
    for (std::size_t k = 0; k < n; ++k) ids.push_back(pick(i));
    return ids;
  };
  static const char* const binary[] = {"add", "mul", "maximum", "eq", "sub", "pow"};
  static const char* const unary[] = {"neg", "abs", "f"};
  RandomGraph g;
  for (std::size_t i = 0; i < size; ++i) {
    if (i < 2 || below(8) == 0) {
      g.nodes.push_back(NodeKey::source(numbered("s", below(4)), {}));
      continue;
    }
    switch (below(12)) {
      case 0:
      case 1:
      case 2:
        g.nodes.push_back(op(binary[below(6)], inputs(i, 2)));
        break;
      case 3:
      case 4:
        g.nodes.push_back(op(unary[below(3)], inputs(i, 1)));
        break;
      case 5: {
        const NodeId x = pick(i);
        switch (below(5)) {
          case 0: g.nodes.push_back(add_zero(x, "r")); break;
          case 1: g.nodes.push_back(add_zero(x, "l")); break;
          case 2: g.nodes.push_back(mul_one(x, "r")); break;
          case 3: g.nodes.push_back(mul_one(x, "l")); break;
          default: g.nodes.push_back(NodeKey::op("add", scalar_side(ParamValue::floating(-0.0), "r"), {x})); break;
        }
        break;
      }
      case 6:
        g.nodes.push_back(op("add", inputs(i, 3)));
        break;
      case 7:
        g.nodes.push_back(NodeKey::reduction("sum", {}, inputs(i, 1)));
        break;
      case 8:
        g.nodes.push_back(NodeKey::join({}, inputs(i, 2)));
        break;
      case 9:
        g.nodes.push_back(NodeKey::exchange(ParamMap({{"n", ParamValue::integer(static_cast<std::int64_t>(below(2)))}}),
                                            inputs(i, 1)));
        break;
      case 10: {
        PayloadDescriptor d{below(2) == 0 ? "a|b" : "a", below(2) == 0 ? "c" : "b|c", "fw", "1", "io",
                            below(2) == 0 ? std::optional<std::string>("-") : std::nullopt};
        g.nodes.push_back(NodeKey::external(std::move(d), {}, inputs(i, 1)));
        break;
      }
      default: {
        // A stage of two members, with one of a few member lists.
        const std::uint64_t variant = below(3);
        std::vector<StageOp> members = {member("op|f", {in(0)}),
                                        member(variant == 0 ? "op|g" : "op|h", {variant == 2 ? in(1) : mem(0), in(1)})};
        g.nodes.push_back(NodeKey::stage(inputs(i, 2), std::move(members)));
        break;
      }
    }
  }
  const std::size_t n_outputs = 1 + below(4);
  for (std::size_t k = 0; k < n_outputs; ++k) g.outputs.push_back(size - 1 - below(std::min<std::size_t>(size, 12)));
  return g;
}

}  // namespace quorvel::optimizer_test
