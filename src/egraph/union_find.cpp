#include "egraph/union_find.hpp"

#include <string>

#include "support/internal_error.hpp"

namespace quorvel::egraph {

Id UnionFind::make_set() {
  if (parents_.size() >= kNoId) {
    fail_invariant("the union-find holds fewer than 2^32 - 1 ids", std::to_string(parents_.size()));
  }
  const Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

void UnionFind::out_of_range(Id id) const {
  fail_invariant("a class id lies inside the union-find",
                 "id " + std::to_string(id) + " of " + std::to_string(parents_.size()));
}

}  // namespace quorvel::egraph
