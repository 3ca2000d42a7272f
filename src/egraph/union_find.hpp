// Union-find over class ids.
#pragma once

#include <cstddef>
#include <vector>

#include "egraph/id.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel::egraph {

// A sequence of parent ids indexed by id; a root is its own parent. Merging
// policy (which root wins) belongs to the e-graph, which calls set_parent.
class UnionFind {
 public:
  // Appends a new singleton set and returns its id.
  Id make_set();

  std::size_t size() const noexcept { return parents_.size(); }

  // Capacity for this many ids without reallocating.
  void reserve(std::size_t ids) { parents_.reserve(ids); }

  // The root of id, without changing anything. An id outside the sequence
  // is an internal error.
  Id find(Id id) const {
    check(id);
    Id current = id;
    while (parents_[current] != current) current = parents_[current];
    return current;
  }

  // The root of id, halving the path on the way: every visited id's parent is
  // set to its grandparent.
  Id find_mut(Id id) {
    check(id);
    Id current = id;
    while (parents_[current] != current) {
      const Id grandparent = parents_[parents_[current]];
      parents_[current] = grandparent;
      current = grandparent;
    }
    return current;
  }

  bool is_root(Id id) const {
    check(id);
    return parents_[id] == id;
  }

  Id parent(Id id) const {
    check(id);
    return parents_[id];
  }

  // Memory hint for an upcoming find of id; changes nothing.
  void prefetch(Id id) const noexcept {
    if (id < parents_.size()) __builtin_prefetch(&parents_[id]);
  }

  void set_parent(Id id, Id parent) {
    check(id);
    check(parent);
    parents_[id] = parent;
  }

 private:
  void check(Id id) const {
    if (id >= parents_.size()) out_of_range(id);
  }
  [[noreturn]] void out_of_range(Id id) const;

  LargeVector<Id> parents_;
};

}  // namespace quorvel::egraph
