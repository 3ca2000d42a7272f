#include "optimizer/mod/prototypes.hpp"

#include "support/internal_error.hpp"

namespace quorvel {

const NodeKey& Prototypes::at(egraph::GlobalSymbol op) const {
  const auto found = first_.find(op.handle());
  if (found == first_.end()) {
    fail_invariant("every token of the canonical graph comes from a kept node", std::string(op.text()));
  }
  return nodes_[found->second];
}

}  // namespace quorvel
