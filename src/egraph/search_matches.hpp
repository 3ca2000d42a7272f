// The matches of a searcher: per class, the substitutions found in it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "egraph/id.hpp"
#include "egraph/subst.hpp"

namespace quorvel::egraph {

// The matches of one searcher in one class.
struct SearchMatches {
  Id eclass = kNoId;
  std::vector<Subst> substs;
};

// A read-only view of one class's matches inside SearchResults.
struct SearchMatchesRef {
  Id eclass;
  std::span<const Subst> substs;
};

// The sequence of SearchMatches one search produced, in the order the
// classes were visited. All substitutions share one flat buffer, so a search
// with many matched classes does not allocate per class.
class SearchResults {
 public:
  std::size_t size() const noexcept { return classes_.size(); }
  bool empty() const noexcept { return classes_.empty(); }
  std::size_t total_substs() const noexcept { return substs_.size(); }

  SearchMatchesRef operator[](std::size_t k) const {
    const std::size_t begin = k == 0 ? 0 : ends_[k - 1];
    return SearchMatchesRef{classes_[k], std::span<const Subst>(substs_).subspan(begin, ends_[k] - begin)};
  }

  // Every substitution, class after class.
  std::span<const Subst> all_substs() const noexcept { return substs_; }

  // For producers: substitutions are appended to substs(), then close_class
  // records that those since the previous close belong to eclass.
  std::vector<Subst>& substs() noexcept { return substs_; }
  void close_class(Id eclass) {
    classes_.push_back(eclass);
    ends_.push_back(substs_.size());
  }

 private:
  std::vector<Id> classes_;
  std::vector<std::size_t> ends_;
  std::vector<Subst> substs_;
};

}  // namespace quorvel::egraph
