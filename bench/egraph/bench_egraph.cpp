// Saturates the canonicalization rule set over a synthetic graph and prints
// where the time goes.
//
//   bench_egraph [nodes]      (default 1000000)
//
// The graph mixes the shapes real pipelines produce: chains of unary ops,
// commutative binary ops (many of them present in both argument orders),
// add-zero and multiply-by-one nodes, other scalar ops, non-commutative
// binary ops and fan-out joins over a set of hub nodes. The same node list is
// also fed to a bare std::unordered_map hash-cons as a baseline.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/global_symbol.hpp"
#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/runner.hpp"
#include "support/hash_mix.hpp"

namespace qe = quorvel::egraph;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

// One generated node: its token (an index into the token table) and up to
// three inputs (indices of earlier nodes).
struct GeneratedNode {
  std::uint32_t op;
  std::uint32_t arity;
  std::uint32_t inputs[3];

  GeneratedNode(std::uint32_t token, std::initializer_list<std::uint32_t> in)
      : op(token), arity(static_cast<std::uint32_t>(in.size())), inputs{0, 0, 0} {
    std::uint32_t k = 0;
    for (std::uint32_t input : in) inputs[k++] = input;
  }
};

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() { return quorvel::mix64(state_ += 0x9e3779b97f4a7c15ULL); }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

const char* const kCommutative[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
const char* const kIdentity[] = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// The twelve canonicalization rules: commutativity of eight operators, then
// the four identity eliminations.
std::vector<qe::Rewrite> make_rules() {
  std::vector<qe::Rewrite> rules;
  auto add_rule = [&](const std::string& name, const std::string& lhs, const std::string& rhs) {
    auto searcher = qe::Pattern::parse(lhs);
    auto applier = qe::Pattern::parse(rhs);
    if (!searcher.ok() || !applier.ok()) {
      std::fprintf(stderr, "bad rule pattern in %s\n", name.c_str());
      std::exit(1);
    }
    auto rule = qe::Rewrite::make(name, std::move(searcher).value(), std::move(applier).value());
    if (!rule.ok()) {
      std::fprintf(stderr, "%s\n", rule.error().c_str());
      std::exit(1);
    }
    rules.push_back(std::move(rule).value());
  };
  for (const char* name : kCommutative) {
    add_rule(std::string("commute-") + name, std::string("(op|") + name + " ?a ?b)",
             std::string("(op|") + name + " ?b ?a)");
  }
  int k = 0;
  for (const char* token : kIdentity) {
    add_rule("identity-" + std::to_string(k++), std::string("(") + token + " ?x)", "?x");
  }
  return rules;
}

struct Graph {
  std::vector<std::string> tokens;
  std::vector<GeneratedNode> nodes;
};

Graph make_graph(std::uint32_t n) {
  Graph graph;
  auto token = [&](const std::string& text) {
    graph.tokens.push_back(text);
    return static_cast<std::uint32_t>(graph.tokens.size() - 1);
  };
  std::vector<std::uint32_t> commutative;
  for (const char* name : kCommutative) commutative.push_back(token(std::string("op|") + name));
  std::vector<std::uint32_t> identity;
  for (const char* text : kIdentity) identity.push_back(token(text));
  const std::uint32_t unary[] = {token("op|neg"), token("op|exp"), token("op|log"), token("op|abs")};
  const std::uint32_t noncommutative[] = {token("op|sub"), token("op|div")};
  const std::uint32_t scalar[] = {token("op|add|scalar=f4000000000000000;side=sr"),
                                  token("op|mul|scalar=f4000000000000000;side=sl"),
                                  token("op|add|scalar=i0;side=sr")};
  const std::uint32_t join = token("join|inner");
  const std::uint32_t first_source = static_cast<std::uint32_t>(graph.tokens.size());
  const std::uint32_t source_count = n / 32 + 1;
  for (std::uint32_t s = 0; s < source_count; ++s) token("src|table" + std::to_string(s));

  Random random(0x5eedULL);
  std::vector<std::uint32_t> hubs;
  graph.nodes.reserve(n);
  auto recent = [&](std::uint32_t i) -> std::uint32_t {
    if (random.below(2) == 0) return i - 1;
    const std::uint32_t window = i < 64 ? i : 64;
    return i - 1 - random.below(window);
  };
  std::uint32_t next_source = 0;
  while (graph.nodes.size() < n) {
    const auto i = static_cast<std::uint32_t>(graph.nodes.size());
    const std::uint32_t roll = random.below(100);
    if (i < 2 || roll < 3) {
      graph.nodes.push_back({first_source + (next_source++ % source_count), {}});
      if (hubs.size() < 4096 && random.below(4) == 0) hubs.push_back(i);
    } else if (roll < 28) {
      graph.nodes.push_back({unary[random.below(4)], {recent(i)}});
    } else if (roll < 58) {
      const std::uint32_t op = commutative[random.below(8)];
      const std::uint32_t a = recent(i);
      std::uint32_t b = recent(i);
      if (b == a) b = a == 0 ? 1 : a - 1;
      graph.nodes.push_back({op, {a, b}});
      // Half of the commutative nodes also appear with swapped arguments.
      if (random.below(2) == 0 && graph.nodes.size() < n) graph.nodes.push_back({op, {b, a}});
    } else if (roll < 66) {
      graph.nodes.push_back({noncommutative[random.below(2)], {recent(i), recent(i)}});
    } else if (roll < 78) {
      graph.nodes.push_back({identity[random.below(4)], {recent(i)}});
    } else if (roll < 85) {
      graph.nodes.push_back({scalar[random.below(3)], {recent(i)}});
    } else if (roll < 90 && hubs.size() >= 3) {
      graph.nodes.push_back({join, {hubs[random.below(static_cast<std::uint32_t>(hubs.size()))],
                                    hubs[random.below(static_cast<std::uint32_t>(hubs.size()))], recent(i)}});
    } else if (!hubs.empty()) {
      // Fan-out: a commutative op over a hub and a recent node.
      const std::uint32_t hub = hubs[random.below(static_cast<std::uint32_t>(hubs.size()))];
      graph.nodes.push_back({commutative[random.below(8)], {hub, recent(i)}});
    } else {
      graph.nodes.push_back({unary[0], {recent(i)}});
    }
  }
  return graph;
}

// The baseline: a plain hash-cons of the same nodes, keyed by operator and
// input ids, in a std::unordered_map.
struct BaselineKey {
  std::uint32_t op;
  std::vector<std::uint32_t> inputs;
  bool operator==(const BaselineKey&) const = default;
};
struct BaselineHash {
  std::size_t operator()(const BaselineKey& key) const {
    std::uint64_t h = quorvel::mix64(key.op);
    for (std::uint32_t input : key.inputs) h = quorvel::hash_combine(h, input);
    return static_cast<std::size_t>(h);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t n = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  // A few generated nodes repeat earlier ones; generate some spare and add
  // until the e-graph holds exactly n distinct e-nodes.
  const Graph graph = make_graph(n + n / 50 + 16);
  std::vector<qe::GlobalSymbol> symbols;
  symbols.reserve(graph.tokens.size());
  for (const std::string& text : graph.tokens) symbols.emplace_back(text);
  const std::vector<qe::Rewrite> rules = make_rules();

  // The engine.
  const Clock::time_point total_start = Clock::now();
  qe::EGraph egraph;
  egraph.reserve(n);
  std::size_t used = 0;  // generated nodes fed to the e-graph
  {
    std::vector<qe::Id> ids(graph.nodes.size());
    std::vector<qe::Id> children;
    // The add loop hints the e-graph about the node kLookahead places ahead
    // when its inputs are already known, so that its memo slot is on its way
    // into the cache by the time it is added.
    constexpr std::size_t kLookahead = 16;
    std::vector<qe::Id> ahead_children;
    for (; used < graph.nodes.size() && egraph.total_size() < n; ++used) {
      if (used + kLookahead < graph.nodes.size()) {
        const GeneratedNode& next = graph.nodes[used + kLookahead];
        bool known = true;
        ahead_children.clear();
        for (std::uint32_t k = 0; k < next.arity; ++k) {
          known = known && next.inputs[k] < used;
          if (known) ahead_children.push_back(ids[next.inputs[k]]);
        }
        if (known) egraph.prefetch_add(qe::SymbolLang(symbols[next.op], ahead_children));
      }
      children.clear();
      const GeneratedNode& generated = graph.nodes[used];
      for (std::uint32_t k = 0; k < generated.arity; ++k) children.push_back(ids[generated.inputs[k]]);
      ids[used] = egraph.add(qe::SymbolLang(symbols[generated.op], children));
    }
  }
  const Clock::time_point add_end = Clock::now();
  const double add_time = seconds(total_start, add_end);
  const std::size_t added = egraph.total_size();

  qe::Runner runner;
  runner.set_egraph(std::move(egraph)).set_iter_limit(12).set_node_limit(4ULL * n + 1024);
  runner.run(rules);
  const Clock::time_point run_end = Clock::now();
  const double run_time = seconds(add_end, run_end);
  const double total_time = seconds(total_start, run_end);

  // Baseline hash-cons, run after the engine so that neither pays for the
  // other's freed memory.
  const Clock::time_point baseline_start = Clock::now();
  std::size_t baseline_unique = 0;
  {
    std::unordered_map<BaselineKey, std::uint32_t, BaselineHash> table;
    std::vector<std::uint32_t> ids(used);
    for (std::size_t i = 0; i < used; ++i) {
      const GeneratedNode& generated = graph.nodes[i];
      BaselineKey key{generated.op, {}};
      for (std::uint32_t k = 0; k < generated.arity; ++k) key.inputs.push_back(ids[generated.inputs[k]]);
      const auto [it, inserted] = table.emplace(std::move(key), static_cast<std::uint32_t>(table.size()));
      ids[i] = it->second;
    }
    baseline_unique = table.size();
  }
  const double baseline_time = seconds(baseline_start, Clock::now());

  double search = 0, apply = 0, rebuild = 0;
  std::printf("iter  size(start)  classes(start)  applied  merges  search_s  apply_s  rebuild_s\n");
  for (std::size_t i = 0; i < runner.iterations().size(); ++i) {
    const qe::Iteration& it = runner.iterations()[i];
    std::size_t applied = 0;
    for (const auto& [name, count] : it.applied) applied += count;
    std::printf("%4zu  %11zu  %14zu  %7zu  %6zu  %8.4f  %7.4f  %9.4f\n", i, it.egraph_nodes, it.egraph_classes,
                applied, it.rebuild_merges, it.search_time, it.apply_time, it.rebuild_time);
    search += it.search_time;
    apply += it.apply_time;
    rebuild += it.rebuild_time;
  }
  const double m = static_cast<double>(added);
  std::printf("\ninput nodes          %zu (distinct e-nodes %zu)\n", used, added);
  std::printf("baseline hash-cons   %.3f s   %.2f M nodes/s   (std::unordered_map, %zu distinct)\n", baseline_time,
              static_cast<double>(used) / baseline_time / 1e6, baseline_unique);
  std::printf("add                  %.3f s   %.2f M e-nodes/s\n", add_time, m / add_time / 1e6);
  std::printf("rebuild (all iters)  %.3f s   %.2f M e-nodes/s\n", rebuild, m / rebuild / 1e6);
  std::printf("search (all iters)   %.3f s   %.2f M e-nodes/s\n", search, m / search / 1e6);
  std::printf("apply (all iters)    %.3f s   %.2f M e-nodes/s\n", apply, m / apply / 1e6);
  std::printf("runner total         %.3f s\n", run_time);
  std::printf("total wall (add+run) %.3f s   (%.2fx the baseline hash-cons)\n", total_time, total_time / baseline_time);
  std::printf("stop reason          %s\n", runner.stop_reason()->to_string().c_str());
  std::printf("iterations           %zu\n", runner.iterations().size());
  std::printf("final e-graph        %zu e-nodes, %zu classes\n", runner.egraph().total_size(),
              runner.egraph().number_of_classes());
  return 0;
}
