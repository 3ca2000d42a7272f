// A named rewrite rule: a searcher pattern and an applier pattern.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/global_symbol.hpp"
#include "egraph/pattern.hpp"
#include "egraph/result.hpp"
#include "egraph/search_matches.hpp"

namespace quorvel::egraph {

// Rules are immutable; the two patterns are shared by reference counting, so
// copies of a rule and rules used from several threads share them.
class Rewrite {
 public:
  // Fails with "Rewrite " + name + " refers to unbound var " + var when the
  // applier uses a variable the searcher does not bind.
  static Result<Rewrite, std::string> make(GlobalSymbol name, std::shared_ptr<const Pattern> searcher,
                                           std::shared_ptr<const Pattern> applier);
  static Result<Rewrite, std::string> make(std::string_view name, Pattern searcher, Pattern applier);

  GlobalSymbol name() const noexcept { return name_; }
  const Pattern& searcher() const noexcept { return *searcher_; }
  const Pattern& applier() const noexcept { return *applier_; }

  // The searcher's search with limit.
  SearchResults search_with_limit(const EGraph& egraph, std::size_t limit) const {
    return searcher_->search_with_limit(egraph, limit);
  }

  // Applies the matches with the applier; returns the ids whose
  // instantiation merged two classes.
  std::vector<Id> apply(EGraph& egraph, const SearchResults& matches) const {
    return applier_->apply_matches(egraph, matches, name_);
  }

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Pattern> searcher, std::shared_ptr<const Pattern> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  GlobalSymbol name_;
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
};

// The operators at the roots of the rules' searchers (a rule whose searcher
// is a variable has none), in rule order: the operators whose classes a run
// searches.
std::vector<GlobalSymbol> root_operators(std::span<const Rewrite> rules);

}  // namespace quorvel::egraph
