// The e-graph: hash-consed e-nodes partitioned into equivalence classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "egraph/eclass.hpp"
#include "egraph/id.hpp"
#include "egraph/node_memo.hpp"
#include "egraph/operator_index.hpp"
#include "egraph/symbol_lang.hpp"
#include "egraph/union_find.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel::egraph {

// One node language (SymbolLang), no class analysis, no explanations.
//
// Classes live in a flat vector indexed by id; the entry of a merged-away id
// is dead (EClass::id is kNoId). Every walk over classes goes in ascending id
// order, and all hashing is fixed and unseeded, so a run is reproducible.
//
// After add or union_ the e-graph is dirty: the memo may hold non-canonical
// nodes and congruent nodes may sit in different classes. rebuild restores
// congruence closure and makes it clean again.
class EGraph {
 public:
  EGraph() = default;
  EGraph(EGraph&&) noexcept = default;
  EGraph& operator=(EGraph&&) noexcept = default;
  EGraph(const EGraph&) = default;
  EGraph& operator=(const EGraph&) = default;

  // Adds an e-node (children are class ids) and returns the root id of the
  // class that holds it; an existing node is found, not duplicated.
  Id add(SymbolLang node) { return find(add_internal(std::move(node))); }

  // The root of the class holding node, if the e-graph has it.
  std::optional<Id> lookup(SymbolLang node) const;

  // Merges the classes of a and b. Returns whether two classes were merged.
  // (Named with a trailing underscore because `union` is a keyword.)
  bool union_(Id a, Id b) { return perform_union(a, b); }

  // Restores congruence closure; returns the number of merges it made.
  std::size_t rebuild();

  Id find(Id id) const { return union_find_.find(id); }
  Id find_mut(Id id) { return union_find_.find_mut(id); }

  // The class of find(id).
  const EClass& eclass(Id id) const;

  // Number of memo entries, stale ones included; the e-node count used by
  // node limits. It never shrinks.
  std::size_t total_size() const noexcept { return memo_.size(); }
  std::size_t number_of_classes() const noexcept { return live_classes_; }
  // Number of ids handed out so far (live and merged-away classes).
  std::size_t number_of_ids() const noexcept { return union_find_.size(); }
  bool is_clean() const noexcept { return clean_; }

  // The node exactly as it was added when it created class id.
  const SymbolLang& added_node(Id id) const;

  // Parent entries waiting for the next rebuild.
  std::size_t pending_count() const noexcept { return pending_.size(); }
  // Duplicate nodes removed from classes by rebuilds so far.
  std::size_t duplicates_removed() const noexcept { return duplicates_removed_; }

  // Calls f(const EClass&) for every class in ascending id order.
  template <typename F>
  void for_each_class(F&& f) const {
    for (const EClass& eclass : classes_) {
      if (eclass.is_live()) f(eclass);
    }
  }

  // The live entry for a root id, or nullptr when id is not a root.
  const EClass* class_if_root(Id id) const noexcept {
    if (id >= classes_.size() || !classes_[id].is_live()) return nullptr;
    return &classes_[id];
  }

  // Candidate classes for a pattern rooted at op, ascending: every live class
  // holding a node of op is listed; merged-away ids may be listed too and
  // are to be skipped (class_if_root returns nullptr for them).
  std::span<const Id> classes_with_operator(GlobalSymbol op) const;

  // Prepares the operator lists of ops in one pass over the classes (search
  // would otherwise build each on first use).
  void index_operators(std::span<const GlobalSymbol> ops) const;

  // Memory hints for loops that know their next accesses ahead of time; they
  // change nothing. prefetch_add: the memo slot of node (children taken as
  // they are) and the class records of its children. prefetch_union: what a
  // union with id reads first. prefetch_class: a
  // class record. prefetch_class_nodes: the node list of a class whose record
  // was prefetched earlier.
  void prefetch_add(const SymbolLang& node) const noexcept {
    memo_.prefetch(node);
    for (Id child : node.children()) {
      union_find_.prefetch(child);
      if (child < classes_.size()) __builtin_prefetch(&classes_[child]);
    }
  }
  void prefetch_union(Id id) const noexcept {
    union_find_.prefetch(id);
    prefetch_class(id);
  }
  void prefetch_class(Id id) const noexcept {
    if (id < classes_.size()) __builtin_prefetch(&classes_[id]);
  }
  void prefetch_class_nodes(Id id) const noexcept {
    if (id < classes_.size()) __builtin_prefetch(classes_[id].nodes.data());
  }

  // Whether a union merged two classes since the last rebuild: until one
  // does, every root's node list and the memo are canonical, so adding a
  // node the e-graph already holds finds it.
  bool merged_since_rebuild() const noexcept { return merged_since_rebuild_; }

  // Whether the class of root holds node, children compared as they are.
  bool class_holds(Id root, const SymbolLang& node) const {
    const EClass* eclass = class_if_root(root);
    if (eclass == nullptr) return false;
    for (const SymbolLang& held : eclass->nodes) {
      if (held == node) return true;
    }
    return false;
  }

  // Capacity hint for a graph about to receive this many nodes. The memo is
  // sized for them; the per-class arrays get room for half as many again,
  // for the nodes rewrites add (room in a mapped block that is never used
  // costs address space only).
  void reserve(std::size_t nodes);

 private:
  Id add_internal(SymbolLang node);
  bool perform_union(Id a, Id b);
  std::size_t process_unions();
  void rebuild_classes();
  // The record of a root id; a missing record or one carrying another id is
  // an internal error.
  const EClass& live_class(Id root) const;
  EClass& live_class(Id root);

  UnionFind union_find_;
  NodeMemo memo_;
  // Ids of added nodes whose class must be re-examined for congruence.
  std::vector<Id> pending_;
  LargeVector<EClass> classes_;
  LargeVector<SymbolLang> added_nodes_;
  std::size_t live_classes_ = 0;
  // Ids whose class must be re-canonicalized by the next rebuild.
  std::vector<Id> dirty_;
  std::vector<std::uint8_t> dirty_mark_;
  std::vector<Id> dirty_roots_;
  // Candidate lists for search; filled lazily by const searches.
  mutable OperatorIndex operator_index_;
  std::size_t duplicates_removed_ = 0;
  bool clean_ = false;
  bool merged_since_rebuild_ = false;
};

}  // namespace quorvel::egraph
