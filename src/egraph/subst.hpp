// A substitution: pattern variables bound to class ids.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "egraph/global_symbol.hpp"
#include "egraph/id.hpp"
#include "support/small_vector.hpp"

namespace quorvel::egraph {

// A pattern variable: a symbol whose text is "?" and at least one more
// character.
using Var = GlobalSymbol;

// A small map from Var to Id kept as (Var, Id) pairs in insertion order, with
// room for three pairs before it needs heap storage.
class Subst {
 public:
  struct Binding {
    Var var;
    Id id;
  };

  Subst() = default;

  // Binds var to id; an existing binding of var is replaced.
  void insert(Var var, Id id) {
    for (Binding& binding : bindings_) {
      if (binding.var == var) {
        binding.id = id;
        return;
      }
    }
    bindings_.push_back(Binding{var, id});
  }

  std::optional<Id> get(Var var) const {
    for (const Binding& binding : bindings_) {
      if (binding.var == var) return binding.id;
    }
    return std::nullopt;
  }

  std::size_t size() const noexcept { return bindings_.size(); }
  const Binding* begin() const noexcept { return bindings_.begin(); }
  const Binding* end() const noexcept { return bindings_.end(); }

  friend bool operator==(const Subst& a, const Subst& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a.bindings_[i].var != b.bindings_[i].var || a.bindings_[i].id != b.bindings_[i].id) return false;
    }
    return true;
  }

 private:
  SmallVector<Binding, 3> bindings_;
};

}  // namespace quorvel::egraph
