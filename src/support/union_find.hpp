// Union-find over dense indices: the e-graph's classes and stage fusion's
// groups.
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "support/internal_error.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel {

// A sequence of parent indices; a root is its own parent. Which root wins a
// merge is the caller's choice: the e-graph sets parents itself, stage
// fusion unites keeping the lowest root. Every lookup checks its index; an
// index outside the sequence is an internal error.
template <class Index>
class UnionFind {
 public:
  // The index no set ever gets; callers may use it as "none".
  static constexpr Index kNone = std::numeric_limits<Index>::max();

  // singletons sets {0}, {1}, ...
  explicit UnionFind(std::size_t singletons = 0) : parents_(singletons) {
    if (singletons > kNone) too_many(singletons);
    for (std::size_t i = 0; i < singletons; ++i) parents_[i] = static_cast<Index>(i);
  }

  // Appends a new singleton set and returns its index.
  Index make_set() {
    if (parents_.size() >= kNone) too_many(parents_.size() + 1);
    const auto index = static_cast<Index>(parents_.size());
    parents_.push_back(index);
    return index;
  }

  std::size_t size() const noexcept { return parents_.size(); }

  // Capacity for this many indices without reallocating.
  void reserve(std::size_t indices) { parents_.reserve(indices); }

  // The root of index, without changing anything.
  Index find(Index index) const {
    check(index);
    Index current = index;
    while (parents_[current] != current) current = parents_[current];
    return current;
  }

  // The root of index, halving the path on the way: every visited index's
  // parent is set to its grandparent.
  Index find_mut(Index index) {
    check(index);
    Index current = index;
    while (parents_[current] != current) {
      const Index grandparent = parents_[parents_[current]];
      parents_[current] = grandparent;
      current = grandparent;
    }
    return current;
  }

  // Merges the sets of a and b; the lower of their two roots becomes the
  // root of both, so a set's root is always its lowest member.
  void unite_keeping_lowest(Index a, Index b) {
    const Index root_a = find_mut(a);
    const Index root_b = find_mut(b);
    if (root_a < root_b) {
      parents_[root_b] = root_a;
    } else if (root_b < root_a) {
      parents_[root_a] = root_b;
    }
  }

  bool is_root(Index index) const {
    check(index);
    return parents_[index] == index;
  }

  Index parent(Index index) const {
    check(index);
    return parents_[index];
  }

  void set_parent(Index index, Index parent) {
    check(index);
    check(parent);
    parents_[index] = parent;
  }

  // Memory hint for an upcoming find of index; changes nothing.
  void prefetch(Index index) const noexcept {
    if (index < parents_.size()) __builtin_prefetch(&parents_[index]);
  }

 private:
  void check(Index index) const {
    if (index >= parents_.size()) {
      fail_invariant("an index lies inside the union-find",
                     "index " + std::to_string(index) + " of " + std::to_string(parents_.size()));
    }
  }
  [[noreturn]] static void too_many(std::size_t count) {
    fail_invariant("a union-find holds fewer indices than its index type's largest value", std::to_string(count));
  }

  LargeVector<Index> parents_;
};

}  // namespace quorvel
