// Decides per rule and iteration whether a rule is searched and applied.
#pragma once

#include <cstddef>

#include "egraph/egraph.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/search_matches.hpp"

namespace quorvel::egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;

  // Asked when an iteration applied nothing: may the run stop here?
  virtual bool can_stop(std::size_t iteration) = 0;

  // The matches of rule to hand on to apply_rewrite (possibly none).
  virtual SearchResults search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rule) = 0;

  // Applies the matches; returns the number of applications that merged two
  // classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                                    const SearchResults& matches) = 0;
};

}  // namespace quorvel::egraph
