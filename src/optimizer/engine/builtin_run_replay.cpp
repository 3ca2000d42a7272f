#include "optimizer/engine/builtin_run_replay.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <utility>

#include "egraph/backoff_scheduler.hpp"
#include "egraph/node_memo.hpp"
#include "optimizer/engine/rule_set.hpp"
#include "support/cancellation.hpp"
#include "support/hash_mix.hpp"
#include "support/internal_error.hpp"
#include "support/lookahead.hpp"
#include "support/open_table.hpp"

namespace quorvel {

namespace {

using RuleMask = std::uint32_t;
static_assert(kBuiltinRuleCount <= 32, "a mask holds every built-in rule");

constexpr std::uint8_t kNoRule = 0xFF;

// What one hash-consing pass found.
using RuleCounts = std::array<std::uint64_t, kBuiltinRuleCount>;

struct PassSummary {
  std::size_t classes = 0;
  std::size_t enodes = 0;
  // Per rule: the distinct e-nodes its searcher matches, which is the
  // number of matches a search of the rebuilt e-graph finds.
  RuleCounts matches{};
  // Per rule: the distinct keys among those e-nodes (a commute rule's
  // applied node and its swapped form share one), and those whose two
  // inputs are in different classes.
  RuleCounts keys{};
  RuleCounts unequal{};
};

// Which built-in rule, if any, has an operator at its root: a small
// open-addressing table of symbol handles, probed once or twice per node.
class RootOperators {
 public:
  RootOperators() {
    const auto& rules = builtin_rules();
    for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
      std::size_t k = home(rules[r].op.handle());
      while (slots_[k].handle != 0) k = (k + 1) % kSlots;
      slots_[k] = Slot{rules[r].op.handle(), static_cast<std::uint8_t>(r)};
    }
  }
  std::uint8_t rule_of(egraph::GlobalSymbol op) const noexcept {
    for (std::size_t k = home(op.handle());; k = (k + 1) % kSlots) {
      if (slots_[k].handle == op.handle()) return slots_[k].rule;
      if (slots_[k].handle == 0) return kNoRule;
    }
  }

 private:
  static constexpr std::size_t kSlots = 64;
  static std::size_t home(std::uint32_t handle) noexcept { return (handle * 0x9E3779B1u) >> 26; }
  struct Slot {
    std::uint32_t handle = 0;  // the null symbol: empty
    std::uint8_t rule = kNoRule;
  };
  std::array<Slot, kSlots> slots_{};
};

// rule_of[i]: the rule whose searcher matches node i's operator and arity
// (two inputs for a commute rule, one for an identity rule), or kNoRule.
// raw[r]: how many nodes that is, which no count of distinct e-nodes
// exceeds.
LargeVector<std::uint8_t> rules_of_nodes(const EngineGraph& graph, RuleCounts& raw) {
  static const RootOperators roots;
  const auto& rules = builtin_rules();
  LargeVector<std::uint8_t> rule_of(graph.nodes.size(), kNoRule);
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    cancellation.tick();
    const EngineNode& node = graph.nodes[i];
    const std::size_t arity = node.inputs.size();
    if (arity != 1 && arity != 2) continue;
    const std::uint8_t r = roots.rule_of(node.op);
    if (r != kNoRule && arity == (rules[r].commutes ? 2u : 1u)) {
      rule_of[i] = r;
      ++raw[r];
    }
  }
  return rule_of;
}

// The keys of one pass: a node's operator and its inputs' classes, in
// ascending order for an applied commute rule's node. A filed key is read
// back from its node, whose inputs' classes the pass never changes once
// set, so the table holds only a node and a tag.
class PassKeys {
 public:
  PassKeys(const EngineGraph& graph, const LargeVector<std::uint8_t>& rule_of, RuleMask applied,
           const LargeVector<std::uint32_t>& classes)
      : graph_(graph), rule_of_(rule_of), applied_(applied), classes_(classes) {}

  bool applied(std::size_t i) const noexcept {
    return rule_of_[i] != kNoRule && (applied_ >> rule_of_[i] & 1u) != 0;
  }
  bool sorted(std::size_t i) const noexcept { return applied(i) && builtin_rules()[rule_of_[i]].commutes; }

  // The first two children of a key (egraph::kNoId where there is none),
  // given the classes of the node's inputs.
  template <class ClassOf>
  std::pair<egraph::Id, egraph::Id> first_two(std::size_t i, ClassOf&& class_of) const {
    const EngineInputs& inputs = graph_.nodes[i].inputs;
    egraph::Id first = inputs.size() > 0 ? class_of(inputs[0]) : egraph::kNoId;
    egraph::Id second = inputs.size() > 1 ? class_of(inputs[1]) : egraph::kNoId;
    if (second < first && sorted(i)) std::swap(first, second);
    return {first, second};
  }

  // The hash of a key: the hash-cons's hash of its operator and first two
  // children, the children past two of a wide node folded in after.
  static std::uint64_t narrow_hash(std::uint32_t op, egraph::Id first, egraph::Id second) noexcept {
    return egraph::NodeMemo::narrow_hash(egraph::NodeMemo::NarrowKey{op, first, second});
  }
  std::uint64_t hash(std::size_t i) const {
    const auto [first, second] = first_two(i, [&](std::uint32_t input) { return classes_[input]; });
    std::uint64_t h = narrow_hash(graph_.nodes[i].op.handle(), first, second);
    const EngineInputs& inputs = graph_.nodes[i].inputs;
    for (std::size_t k = 2; k < inputs.size(); ++k) h = hash_combine(h, classes_[inputs[k]]);
    return h;
  }

  // Whether nodes a and b have one key.
  bool same(std::size_t a, std::size_t b) const {
    const EngineNode& x = graph_.nodes[a];
    const EngineNode& y = graph_.nodes[b];
    if (x.op != y.op || x.inputs.size() != y.inputs.size()) return false;
    auto class_of = [&](std::uint32_t input) { return classes_[input]; };
    if (first_two(a, class_of) != first_two(b, class_of)) return false;
    for (std::size_t k = 2; k < x.inputs.size(); ++k) {
      if (classes_[x.inputs[k]] != classes_[y.inputs[k]]) return false;
    }
    return true;
  }

 private:
  const EngineGraph& graph_;
  const LargeVector<std::uint8_t>& rule_of_;
  RuleMask applied_;
  const LargeVector<std::uint32_t>& classes_;
};

// The keys filed so far: 8-byte slots of a tag (the upper half of the
// key's hash) and the node that filed it.
struct KeySlot {
  std::uint32_t tag;
  std::uint32_t node_plus_one;
};

// One pass in input order: the classes of the least congruence holding the
// equations of the applied rules (see the header), numbered in order of
// their first node, and the e-nodes a rebuilt e-graph would hold.
PassSummary hash_cons(const EngineGraph& graph, const LargeVector<std::uint8_t>& rule_of, RuleMask applied,
                      LargeVector<std::uint32_t>& classes) {
  const std::size_t n = graph.nodes.size();
  const auto& rules = builtin_rules();
  PassSummary summary;
  classes.resize(n);
  const PassKeys keys(graph, rule_of, applied, classes);
  auto home_of = [&](const KeySlot& slot) { return keys.hash(slot.node_plus_one - 1); };
  OpenTable<KeySlot> table;
  table.reserve(n, home_of);

  // The table is probed at random, so the slot of the node kLookahead
  // places ahead is announced. Its inputs not filed yet have predicted
  // classes: an applied identity rule's node its input's, any other node
  // the next new class in turn. A node predicted new that turns out to be
  // found already there makes later predictions in the window wrong, so the
  // window is announced again from the classes as they stand. Each
  // announced key's first two children and hash wait in a ring, and the
  // hash is used again when they were right.
  constexpr std::size_t kLookahead = 16;
  constexpr std::size_t kRing = 32;
  static_assert(kRing > kLookahead && (kRing & (kRing - 1)) == 0, "the ring holds the window");
  struct Announced {
    egraph::Id first = egraph::kNoId;
    egraph::Id second = egraph::kNoId;
    std::uint64_t hash = 0;
    egraph::Id predicted_class = 0;
  };
  std::array<Announced, kRing> ring{};
  const bool look_ahead = worth_looking_ahead(n);
  std::size_t next_predicted = 0;  // the class the next node predicted new would get
  auto announce = [&](std::size_t k, std::size_t i) {
    const EngineNode& node = graph.nodes[k];
    Announced& slot = ring[k % kRing];
    const auto [first, second] = keys.first_two(k, [&](std::uint32_t input) -> egraph::Id {
      return input < i ? classes[input] : ring[input % kRing].predicted_class;
    });
    slot.first = first;
    slot.second = second;
    slot.hash = PassKeys::narrow_hash(node.op.handle(), first, second);
    const bool stands_for_input = keys.applied(k) && !rules[rule_of[k]].commutes;
    slot.predicted_class = stands_for_input ? first : static_cast<egraph::Id>(next_predicted++);
    if (node.inputs.size() <= 2) table.prefetch(slot.hash);
  };
  if (look_ahead) {
    for (std::size_t k = 0; k < std::min(kLookahead, n); ++k) announce(k, 0);
  }

  CancellationPoller cancellation;
  for (std::size_t i = 0; i < n; ++i) {
    cancellation.tick();
    if (look_ahead && i + kLookahead < n) announce(i + kLookahead, i);
    const EngineNode& node = graph.nodes[i];
    for (const std::uint32_t input : node.inputs) {
      if (input >= i) fail_invariant("engine graph inputs name earlier nodes", std::to_string(i));
    }
    const auto [first, second] = keys.first_two(i, [&](std::uint32_t input) { return classes[input]; });
    const Announced& announced = ring[i % kRing];
    const std::uint64_t hash = look_ahead && node.inputs.size() <= 2 && announced.first == first &&
                                       announced.second == second
                                   ? announced.hash
                                   : keys.hash(i);
    const std::uint8_t r = rule_of[i];
    const bool rule_applied = keys.applied(i);
    // An applied identity rule's node stands for its input: its class is
    // the input's, and its key is filed as that class's e-node. Any other
    // node's class is the one its key was filed with, or a new one.
    const bool stands_for_input = rule_applied && !rules[r].commutes;
    if (stands_for_input) classes[i] = first;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    const auto probe = table.find_or_room(
        hash, [&](const KeySlot& slot) { return slot.tag == tag && keys.same(slot.node_plus_one - 1, i); },
        home_of);
    if (probe.found) {
      if (stands_for_input) continue;
      classes[i] = classes[probe.slot->node_plus_one - 1];
      if (look_ahead) {
        next_predicted = summary.classes;
        for (std::size_t k = i + 1; k < std::min(i + 1 + kLookahead, n); ++k) announce(k, i + 1);
      }
      continue;
    }
    table.fill(probe.slot, KeySlot{tag, static_cast<std::uint32_t>(i + 1)});
    if (stands_for_input) {
      ++summary.matches[r];
      ++summary.keys[r];
      ++summary.enodes;
      continue;
    }
    // An applied commute rule's node and its swapped form are two e-nodes
    // of one class (one when its inputs are one class).
    const std::uint64_t added = rule_applied && first != second ? 2 : 1;
    classes[i] = static_cast<std::uint32_t>(summary.classes++);
    summary.enodes += added;
    if (r != kNoRule) {
      summary.matches[r] += added;
      ++summary.keys[r];
      if (rules[r].commutes && first != second) ++summary.unequal[r];
    }
  }
  return summary;
}

// Per commute rule: the distinct keys of its nodes with their inputs in
// their own order, under the classes given.
RuleCounts ordered_keys(const EngineGraph& graph, const LargeVector<std::uint8_t>& rule_of,
                        const LargeVector<std::uint32_t>& classes) {
  using NarrowKey = egraph::NodeMemo::NarrowKey;
  const auto& rules = builtin_rules();
  RuleCounts counts{};
  egraph::NodeMemo seen;
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    cancellation.tick();
    const std::uint8_t r = rule_of[i];
    if (r == kNoRule || !rules[r].commutes) continue;
    const EngineNode& node = graph.nodes[i];
    const NarrowKey key{node.op.handle(), classes[node.inputs[0]], classes[node.inputs[1]]};
    if (seen.insert_if_absent(key, egraph::NodeMemo::narrow_hash(key), 0) == egraph::kNoId) ++counts[r];
  }
  return counts;
}

// Bounds on the e-graph's total size at any point of the run: the nodes
// first added (at most one entry each), the nodes rules added (at most
// adds), and one entry for every time a node's canonical form changed in a
// rebuild.
//
// A form changes when the class of one of the node's children loses a
// merge, which moves the class's parent entries to the pending list. The
// loser is the class with fewer parent entries, so the class holding an
// entry at least doubles its entries each time the entry moves: an entry
// that started in a class of q entries moves at most log2(P / q) times,
// where P is the entries of its final class. It also moves at most once per
// merge of two classes that hold first-added nodes: a class that a rule
// created is merged at once, before it has any parent entry. Parent
// entries: one per child of every node first added, and, per round of adds,
// two per child of every commute node (its own form's and the swapped
// one's), which start in a class of one entry at least.
//
// The quick bound takes every node for a class first added, and every entry
// for one that starts alone.
std::uint64_t quick_total_size_bound(const EngineGraph& graph, const LargeVector<std::uint8_t>& rule_of,
                                     const LargeVector<std::uint32_t>& classes, std::size_t class_count,
                                     std::uint64_t adds, const RuleCounts& add_rounds) {
  LargeVector<std::uint64_t> members(class_count, 0);
  LargeVector<std::uint64_t> parents(class_count, 0);
  CancellationPoller cancellation;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    cancellation.tick();
    ++members[classes[i]];
    const std::uint64_t per_child = rule_of[i] == kNoRule ? 1 : 1 + 2 * add_rounds[rule_of[i]];
    for (const std::uint32_t input : graph.nodes[i].inputs) parents[classes[input]] += per_child;
  }
  std::uint64_t bound = graph.nodes.size() + adds;
  for (std::size_t c = 0; c < class_count; ++c) {
    cancellation.tick();
    if (members[c] < 2 || parents[c] < 2) continue;
    const std::uint64_t moves = std::min<std::uint64_t>(members[c] - 1, std::bit_width(parents[c]) - 1);
    bound += parents[c] * moves;
  }
  return bound;
}

// The close bound, from the classes first added (initial[i], numbered in
// order of their first node, initial_count of them) and their own parent
// entries, from the distinct nodes first added. An entry that a rule's node
// added starts in a class holding the first-added class of the same child,
// with all its entries.
std::uint64_t close_total_size_bound(const EngineGraph& graph, const LargeVector<std::uint8_t>& rule_of,
                                     const LargeVector<std::uint32_t>& classes, std::size_t class_count,
                                     const LargeVector<std::uint32_t>& initial, std::size_t initial_count,
                                     std::uint64_t adds, const RuleCounts& add_rounds) {
  // Per class first added: its final class, its own entries and the
  // entries added beside them.
  LargeVector<std::uint32_t> final_class(initial_count, 0);
  LargeVector<std::uint64_t> own_entries(initial_count, 0);
  LargeVector<std::uint64_t> added_entries(initial_count, 0);
  // Per final class: all its entries, and the classes first added it holds.
  LargeVector<std::uint64_t> entries(class_count, 0);
  LargeVector<std::uint32_t> merged(class_count, 0);
  CancellationPoller cancellation;
  std::size_t next_initial = 0;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    cancellation.tick();
    if (initial[i] != next_initial) continue;  // a node that adding found already there
    final_class[next_initial++] = classes[i];
    ++merged[classes[i]];
    const std::uint64_t added_per_child = rule_of[i] == kNoRule ? 0 : 2 * add_rounds[rule_of[i]];
    for (const std::uint32_t input : graph.nodes[i].inputs) {
      ++own_entries[initial[input]];
      added_entries[initial[input]] += added_per_child;
    }
  }
  for (std::size_t k = 0; k < initial_count; ++k) entries[final_class[k]] += own_entries[k] + added_entries[k];
  std::uint64_t bound = initial_count + adds;
  for (std::size_t k = 0; k < initial_count; ++k) {
    cancellation.tick();
    const std::uint32_t c = final_class[k];
    if (merged[c] < 2 || own_entries[k] == 0) continue;
    const std::uint64_t moves =
        std::min<std::uint64_t>(merged[c] - 1, std::bit_width(entries[c] / own_entries[k]) - 1);
    bound += (own_entries[k] + added_entries[k]) * moves;
  }
  return bound;
}

}  // namespace

std::optional<ReplayedClasses> replay_builtin_run(const EngineGraph& graph, std::uint64_t iter_limit,
                                                  std::uint64_t node_limit) {
  const std::size_t n = graph.nodes.size();
  if (n >= egraph::kNoId) fail_invariant("an engine graph has fewer nodes than class ids", std::to_string(n));
  const auto& rules = builtin_rules();
  constexpr RuleMask kAllRules = (RuleMask{1} << kBuiltinRuleCount) - 1;
  RuleCounts raw{};
  const LargeVector<std::uint8_t> rule_of = rules_of_nodes(graph, raw);

  // The classes with every rule applied are the coarsest any run reaches,
  // and the counts there bound every count from below: a finer partition
  // has at least as many distinct keys, and at least as many with inputs
  // in different classes. The run usually ends there, too.
  LargeVector<std::uint32_t> all_classes;
  const PassSummary all = hash_cons(graph, rule_of, kAllRules, all_classes);
  // An unapplied commute rule's e-nodes are its nodes' ordered keys: at
  // least their ascending ones, and, counted when that is not enough, at
  // least their ordered ones under those classes.
  std::optional<RuleCounts> all_ordered;
  auto lower_bound = [&](std::size_t r, RuleMask applied, std::uint64_t threshold) {
    if (!rules[r].commutes || (applied >> r & 1u) != 0) return all.matches[r];
    if (all.keys[r] > threshold) return all.keys[r];
    if (!all_ordered) all_ordered = ordered_keys(graph, rule_of, all_classes);
    return (*all_ordered)[r];
  };

  // The e-graph the run searches in each iteration is the one of the rules
  // applied so far. Its counts are known exactly when it has been
  // hash-consed (exact), else bounded from above by the counts of an
  // earlier e-graph: merging classes never adds keys, and applying a
  // commute rule at most doubles its e-nodes. Adding left every node's own
  // key, so the first bounds are the node counts.
  RuleMask applied = 0;
  RuleCounts upper = raw;
  std::optional<PassSummary> exact;
  LargeVector<std::uint32_t> exact_classes;
  auto hash_cons_applied = [&]() -> const PassSummary& {
    if (!exact) exact = applied == kAllRules ? all : hash_cons(graph, rule_of, applied, exact_classes);
    return *exact;
  };

  egraph::BackoffScheduler scheduler;
  std::uint64_t adds = 0;
  RuleCounts add_rounds{};  // per commute rule, the iterations in which it may have added nodes
  for (std::uint64_t iteration = 0; iteration < iter_limit; ++iteration) {
    // The scheduler only compares a count with the rule's threshold, so a
    // bound on the right side of it stands for the count.
    RuleMask admitted = 0;
    RuleCounts searched{};  // an upper bound on what each rule's search found
    for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
      if (!scheduler.searchable(iteration, rules[r].name)) continue;
      const std::uint64_t threshold = scheduler.threshold(rules[r].name);
      std::uint64_t count = upper[r];
      if (exact) {
        count = exact->matches[r];
      } else if (upper[r] > threshold) {
        count = lower_bound(r, applied, threshold);
        if (count <= threshold) count = hash_cons_applied().matches[r];
      }
      searched[r] = count;
      if (scheduler.admit(iteration, rules[r].name, count)) admitted |= RuleMask{1} << r;
    }
    const RuleMask first_applied = admitted & ~applied;
    bool changed = false;
    if (first_applied != 0) {
      // A rule applied for the first time merges classes or adds nodes
      // unless every instance already holds: an identity rule never holds
      // before it is applied (its node's class is not its input's), a
      // commute rule holds exactly when each of its nodes' two inputs are
      // one class.
      bool unsure = false;
      for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
        if ((first_applied >> r & 1u) == 0 || raw[r] == 0) continue;
        if (!rules[r].commutes || all.unequal[r] != 0) {
          changed = true;
        } else {
          unsure = true;
        }
      }
      if (!changed && unsure) {
        const PassSummary& now = hash_cons_applied();
        for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
          if ((first_applied >> r & 1u) != 0 && now.unequal[r] != 0) changed = true;
        }
      }
      // A commute rule adds nodes when applied for the first time; applied
      // again, only when a merge earlier in the iteration left the
      // hash-cons stale, which takes a rule applied for the first time
      // before it (rules are applied in order).
      const std::size_t first_new = static_cast<std::size_t>(std::countr_zero(first_applied));
      for (std::size_t r = first_new; r < kBuiltinRuleCount; ++r) {
        if (rules[r].commutes && (admitted >> r & 1u) != 0) {
          adds += searched[r];
          ++add_rounds[r];
        }
      }
      // The counts of the next e-graph, bounded from above.
      for (std::size_t r = 0; r < kBuiltinRuleCount; ++r) {
        const std::uint64_t before = exact ? exact->matches[r] : upper[r];
        upper[r] = rules[r].commutes && (first_applied >> r & 1u) != 0 ? 2 * before : before;
      }
      applied |= first_applied;
      exact.reset();
    }
    // The runner's test: nothing merged, and the scheduler lets it stop
    // (asked only then, as it moves bans forward when it refuses).
    if (!changed && scheduler.can_stop(iteration)) break;
  }

  ReplayedClasses result;
  if (applied == kAllRules) {
    result.classes = std::move(all_classes);
    result.class_count = all.classes;
  } else {
    result.class_count = hash_cons_applied().classes;
    result.classes = std::move(exact_classes);
  }
  if (quick_total_size_bound(graph, rule_of, result.classes, result.class_count, adds, add_rounds) <= node_limit) {
    return result;
  }
  if (applied == 0) return result;  // the classes are those adding left
  LargeVector<std::uint32_t> initial;
  const std::size_t initial_count = hash_cons(graph, rule_of, 0, initial).classes;
  if (close_total_size_bound(graph, rule_of, result.classes, result.class_count, initial, initial_count, adds,
                             add_rounds) > node_limit) {
    return std::nullopt;
  }
  return result;
}

}  // namespace quorvel
