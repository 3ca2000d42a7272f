#include "egraph/egraph.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "support/cancellation.hpp"
#include "support/internal_error.hpp"
#include "support/lookahead.hpp"

namespace quorvel::egraph {

Id EGraph::add_internal(SymbolLang node) {
  for (Id& child : node.children()) child = union_find_.find(child);

  // The id the new class would get; the memo entry is written in the same
  // probe that looks the node up.
  const Id fresh = static_cast<Id>(union_find_.size());
  const Id existing = memo_.insert_if_absent(node, fresh);
  if (existing != kNoId) return union_find_.find(existing);

  const Id id = union_find_.make_set();
  if (id != fresh) fail_invariant("a new class takes the next id", std::to_string(id));
  for (Id child : node.children()) classes_[child].parents.push_back(id);
  operator_index_.note_new_class(node.op(), id);
  added_nodes_.push_back(node);
  EClass& created = classes_.emplace_back();
  created.id = id;
  created.nodes.push_back(std::move(node));
  ++live_classes_;
  // A node is canonical when it is added. It can only stop being canonical
  // when one of its children is merged away, and that merge queues it through
  // the child's parent list, so it needs no pending entry of its own.
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  for (Id& child : node.children()) child = union_find_.find(child);
  const Id found = memo_.find(node);
  if (found == kNoId) return std::nullopt;
  return union_find_.find(found);
}

const EClass& EGraph::live_class(Id root) const {
  const EClass& eclass = classes_[root];
  if (!eclass.is_live()) fail_invariant("every root id has a class", "missing class " + std::to_string(root));
  if (eclass.id != root) {
    fail_invariant("a class record carries its own id",
                   "class " + std::to_string(eclass.id) + " stored under " + std::to_string(root));
  }
  return eclass;
}

EClass& EGraph::live_class(Id root) {
  const EClass& eclass = std::as_const(*this).live_class(root);
  return classes_[eclass.id];
}

const EClass& EGraph::eclass(Id id) const { return live_class(union_find_.find(id)); }

const SymbolLang& EGraph::added_node(Id id) const {
  if (id >= added_nodes_.size()) {
    fail_invariant("a class id lies inside the union-find", "id " + std::to_string(id));
  }
  return added_nodes_[id];
}

bool EGraph::perform_union(Id a, Id b) {
  clean_ = false;
  const Id root_a = union_find_.find_mut(a);
  const Id root_b = union_find_.find_mut(b);
  if (root_a == root_b) return false;

  // The class with more parents leads, so fewer parent entries have to be
  // re-examined; on a tie the first argument's root does.
  Id winner = root_a;
  Id loser = root_b;
  if (classes_[root_b].parents.size() > classes_[root_a].parents.size()) std::swap(winner, loser);

  union_find_.set_parent(loser, winner);
  EClass& lost = live_class(loser);
  EClass& kept = live_class(winner);

  // The loser's parents may now be congruent to other nodes.
  pending_.insert(pending_.end(), lost.parents.begin(), lost.parents.end());

  // Concatenate: the longer list first, then the shorter one.
  if (lost.nodes.size() > kept.nodes.size()) kept.nodes.swap(lost.nodes);
  kept.nodes.append(std::make_move_iterator(lost.nodes.begin()), std::make_move_iterator(lost.nodes.end()));
  if (lost.parents.size() > kept.parents.size()) kept.parents.swap(lost.parents);
  kept.parents.append(lost.parents.begin(), lost.parents.end());

  merged_since_rebuild_ = true;
  lost.id = kNoId;
  lost.nodes.release();
  lost.parents.release();
  --live_classes_;
  dirty_.push_back(winner);
  return true;
}

std::size_t EGraph::process_unions() {
  std::size_t merges = 0;
  constexpr std::size_t kAhead = 8;
  const bool look_ahead = worth_looking_ahead(union_find_.size());
  CancellationPoller cancellation;
  while (!pending_.empty()) {
    cancellation.tick();
    // Entries are taken from the back; hint the memory of those coming next:
    // the added node, then its children's union-find entries, then its memo
    // slot (by the children's roots as they stand now).
    const std::size_t size = look_ahead ? pending_.size() : 0;
    if (size > 3 * kAhead) __builtin_prefetch(&added_nodes_[pending_[size - 1 - 3 * kAhead]]);
    if (size > 2 * kAhead) {
      for (Id child : added_nodes_[pending_[size - 1 - 2 * kAhead]].children()) union_find_.prefetch(child);
    }
    if (size > kAhead) {
      const SymbolLang& upcoming = added_nodes_[pending_[size - 1 - kAhead]];
      if (upcoming.arity() <= 2) {
        SymbolLang probe = upcoming;
        for (Id& child : probe.children()) child = union_find_.find(child);
        memo_.prefetch(probe);
      }
    }
    // Last in, first out.
    const Id parent = pending_.back();
    pending_.pop_back();
    SymbolLang node = added_nodes_[parent];
    for (Id& child : node.children()) child = union_find_.find_mut(child);
    dirty_.push_back(parent);
    const Id old = memo_.insert_or_assign(node, parent);
    if (old != kNoId && perform_union(old, parent)) ++merges;
  }
  return merges;
}

void EGraph::rebuild_classes() {
  // Only classes that gained nodes by a merge, or that hold a node with a
  // merged-away child, can be out of canonical form; every other class is
  // still canonical, sorted and free of duplicates from the last rebuild.
  if (dirty_mark_.size() < classes_.size()) dirty_mark_.resize(classes_.size(), 0);
  dirty_roots_.clear();
  for (Id id : dirty_) {
    const Id root = union_find_.find_mut(id);
    if (dirty_mark_[root] == 0) {
      dirty_mark_[root] = 1;
      dirty_roots_.push_back(root);
    }
  }
  dirty_.clear();
  // Ascending order. When many classes are dirty, reading the marks in
  // order is linear and cheaper than sorting the roots.
  if (dirty_roots_.size() > classes_.size() / 32) {
    dirty_roots_.clear();
    for (std::size_t id = 0; id < classes_.size(); ++id) {
      if (dirty_mark_[id] != 0) dirty_roots_.push_back(static_cast<Id>(id));
    }
  } else {
    std::sort(dirty_roots_.begin(), dirty_roots_.end());
  }

  constexpr std::size_t kAhead = 8;
  const std::size_t ahead_end = worth_looking_ahead(classes_.size()) ? dirty_roots_.size() : 0;
  CancellationPoller cancellation;
  for (std::size_t k = 0; k < dirty_roots_.size(); ++k) {
    cancellation.tick();
    if (k + 2 * kAhead < ahead_end) prefetch_class(dirty_roots_[k + 2 * kAhead]);
    if (k + kAhead < ahead_end) prefetch_class_nodes(dirty_roots_[k + kAhead]);
    const Id root = dirty_roots_[k];
    dirty_mark_[root] = 0;
    EClass& eclass = live_class(root);
    for (SymbolLang& node : eclass.nodes) {
      for (Id& child : node.children()) child = union_find_.find_mut(child);
    }
    std::sort(eclass.nodes.begin(), eclass.nodes.end());
    SymbolLang* last = std::unique(eclass.nodes.begin(), eclass.nodes.end());
    duplicates_removed_ += static_cast<std::size_t>(eclass.nodes.end() - last);
    eclass.nodes.erase_to_end(last);
    if (operator_index_.tracked_count() != 0) {
      for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
        if (i == 0 || eclass.nodes[i].op() != eclass.nodes[i - 1].op()) {
          operator_index_.note_merged(eclass.nodes[i].op(), root);
        }
      }
    }
  }
  operator_index_.flush([this](Id id) { return classes_[id].is_live(); });
}

std::size_t EGraph::rebuild() {
  const std::size_t merges = process_unions();
  rebuild_classes();
  clean_ = true;
  merged_since_rebuild_ = false;
  return merges;
}

std::span<const Id> EGraph::classes_with_operator(GlobalSymbol op) const {
  if (!operator_index_.tracks(op)) {
    const GlobalSymbol ops[1] = {op};
    index_operators(ops);
  }
  return operator_index_.classes(op);
}

void EGraph::index_operators(std::span<const GlobalSymbol> ops) const {
  std::vector<GlobalSymbol> wanted;
  for (GlobalSymbol op : ops) {
    if (!operator_index_.tracks(op) && std::find(wanted.begin(), wanted.end(), op) == wanted.end()) {
      wanted.push_back(op);
    }
  }
  if (wanted.empty()) return;
  std::sort(wanted.begin(), wanted.end());
  std::vector<std::vector<Id>> lists(wanted.size());
  CancellationPoller cancellation;
  for (const EClass& eclass : classes_) {
    cancellation.tick();
    if (!eclass.is_live()) continue;
    for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
      const GlobalSymbol op = eclass.nodes[i].op();
      if (i != 0 && op == eclass.nodes[i - 1].op()) continue;
      const auto it = std::lower_bound(wanted.begin(), wanted.end(), op);
      if (it == wanted.end() || *it != op) continue;
      std::vector<Id>& list = lists[static_cast<std::size_t>(it - wanted.begin())];
      if (list.empty() || list.back() != eclass.id) list.push_back(eclass.id);
    }
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) operator_index_.track(wanted[i], std::move(lists[i]));
}

void EGraph::reserve(std::size_t nodes) {
  memo_.reserve(nodes);
  const std::size_t room = nodes + nodes / 2;
  classes_.reserve(room);
  added_nodes_.reserve(room);
  union_find_.reserve(room);
}

}  // namespace quorvel::egraph
