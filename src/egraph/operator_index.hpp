// Classes that hold a node of a given operator, in ascending id order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/id.hpp"
#include "support/open_table.hpp"

namespace quorvel::egraph {

// Search needs, for the root operator of a pattern, the classes that can
// possibly match it, visited in ascending id order. This index keeps that
// list for the operators that searches have asked about ("tracked"
// operators); graphs with many distinct one-off tokens therefore pay nothing
// for operators no rule mentions.
//
// A tracked list is ascending and free of duplicates. It may still hold ids
// of classes that were merged away since; readers skip ids that are no
// longer roots. New classes are appended when they are created (their ids
// are larger than every listed id) and classes that gained nodes by a merge
// are queued with note_merged and folded in by flush.
class OperatorIndex {
 public:
  bool tracks(GlobalSymbol op) const { return slot_of(op) != kAbsent; }

  // The list of a tracked operator; empty for an untracked one.
  std::span<const Id> classes(GlobalSymbol op) const;

  // Starts tracking op with the given ascending list of classes.
  void track(GlobalSymbol op, std::vector<Id> classes);

  // A class created with a node of op (only recorded when op is tracked).
  void note_new_class(GlobalSymbol op, Id id) {
    if (lists_.empty()) return;
    const std::uint32_t list = slot_of(op);
    if (list != kAbsent) lists_[list].push_back(id);
  }

  // A class that holds a node of op after a merge; folded in by flush.
  void note_merged(GlobalSymbol op, Id id) {
    if (lists_.empty()) return;
    const std::uint32_t list = slot_of(op);
    if (list != kAbsent) queued_.emplace_back(list, id);
  }

  // Folds queued classes into their lists, dropping ids for which is_root
  // is false. is_root is a callable Id -> bool.
  template <typename IsRoot>
  void flush(IsRoot is_root);

  std::size_t tracked_count() const { return ops_.size(); }

 private:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  // A tracked operator's list number plus one (a zero slot is empty).
  struct Slot {
    std::uint32_t list_plus_one;
  };

  // The list number of op, or kAbsent.
  std::uint32_t slot_of(GlobalSymbol op) const;
  // Orders queued_ by list number, each list's ids ascending.
  void group_by_list();

  std::vector<GlobalSymbol> ops_;                 // tracked operators, by list number
  std::vector<std::vector<Id>> lists_;            // by list number
  OpenTable<Slot> table_;
  std::vector<std::pair<std::uint32_t, Id>> queued_;
  std::vector<std::pair<std::uint32_t, Id>> grouped_;
  std::vector<std::size_t> group_ends_;
  std::vector<Id> scratch_;
};

template <typename IsRoot>
void OperatorIndex::flush(IsRoot is_root) {
  if (queued_.empty()) return;
  // Grouped by list number with a counting pass, which keeps the order of
  // each list's entries: a rebuild queues them in ascending id order, so
  // the groups come out sorted without a comparison sort over every entry
  // (a million-node graph queues a few hundred thousand). A group that is
  // not ascending is sorted on its own.
  group_by_list();
  std::size_t begin = 0;
  while (begin < queued_.size()) {
    const std::uint32_t list_number = queued_[begin].first;
    std::size_t end = begin;
    while (end < queued_.size() && queued_[end].first == list_number) ++end;
    std::vector<Id>& list = lists_[list_number];
    scratch_.clear();
    scratch_.reserve(list.size() + (end - begin));
    // Merge two ascending sequences, skipping dead ids and repeats.
    std::size_t a = 0;
    std::size_t b = begin;
    while (a < list.size() || b < end) {
      Id next;
      if (b == end || (a < list.size() && list[a] < queued_[b].second)) {
        next = list[a++];
      } else {
        next = queued_[b++].second;
      }
      if (!scratch_.empty() && scratch_.back() == next) continue;
      if (is_root(next)) scratch_.push_back(next);
    }
    list.swap(scratch_);
    begin = end;
  }
  queued_.clear();
}

}  // namespace quorvel::egraph
