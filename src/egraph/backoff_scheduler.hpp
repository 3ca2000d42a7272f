// Bans rules that match too often, with doubling thresholds and bans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/rewrite_scheduler.hpp"

namespace quorvel::egraph {

struct RuleStats {
  // Iterations in which the rule was searched and not banned, so that its
  // matches (possibly none) were passed on.
  std::uint64_t times_applied = 0;
  // The rule is skipped in every iteration below this number.
  std::uint64_t banned_until = 0;
  std::uint64_t times_banned = 0;
  std::uint64_t match_limit = 0;  // base threshold
  std::uint64_t ban_length = 0;   // base ban length
};

// A rule whose matches in one iteration exceed match_limit * 2^times_banned
// is banned for ban_length * 2^times_banned iterations (the count before it
// is raised), and its matches are dropped. The search itself stops at one
// match over the threshold, so an over-eager rule costs at most that many
// matches. Rules are told apart by name: two rules with one name share their
// statistics.
class BackoffScheduler final : public RewriteScheduler {
 public:
  static constexpr std::uint64_t kDefaultMatchLimit = 1000;
  static constexpr std::uint64_t kDefaultBanLength = 5;

  explicit BackoffScheduler(std::uint64_t match_limit = kDefaultMatchLimit,
                            std::uint64_t ban_length = kDefaultBanLength)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {
    stats_.reserve(16);  // room for a rule set's statistics without growing
  }

  // With no banned rule, the run may stop. Otherwise the bans are
  // fast-forwarded so that the rules closest to their end are unbanned in
  // this iteration, and the run goes on.
  bool can_stop(std::size_t iteration) override;

  SearchResults search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rule) override;

  // The two decisions search_rewrite makes, for a caller that counts a
  // rule's matches itself: whether the rule is searched in this iteration
  // at all, and, given its number of matches, whether they are handed on
  // (true) or the rule is banned (false). admit updates the statistics
  // exactly as a search does.
  bool searchable(std::size_t iteration, GlobalSymbol name);
  bool admit(std::size_t iteration, GlobalSymbol name, std::uint64_t matches);
  // The most matches admit hands on for the rule now.
  std::uint64_t threshold(GlobalSymbol name);

  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                            const SearchResults& matches) override;

  // The statistics of a rule name, or nullptr before the rule was first seen.
  const RuleStats* stats(GlobalSymbol name) const;
  // All statistics, in the order the names were first seen.
  const std::vector<std::pair<GlobalSymbol, RuleStats>>& all_stats() const noexcept { return stats_; }

 private:
  RuleStats& stats_for(GlobalSymbol name);

  std::uint64_t default_match_limit_;
  std::uint64_t default_ban_length_;
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;
  std::size_t last_ = 0;  // the entry stats_for found last
};

}  // namespace quorvel::egraph
