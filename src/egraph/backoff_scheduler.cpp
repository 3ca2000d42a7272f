#include "egraph/backoff_scheduler.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// base * 2^exponent. A shift by 64 or more places is an internal error; a
// product that does not fit saturates at the largest value instead of
// wrapping to a smaller threshold or ban.
std::uint64_t scaled(std::uint64_t base, std::uint64_t exponent) {
  if (exponent >= 64) fail_invariant("a backoff shift is below 64 places", std::to_string(exponent));
  if (base > (kMax >> exponent)) return kMax;
  return base << exponent;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

}  // namespace

RuleStats& BackoffScheduler::stats_for(GlobalSymbol name) {
  // A run asks about its rules in order, each a few times: the rule last
  // asked about, or the one after it, is nearly always the one wanted.
  for (const std::size_t k : {last_, last_ + 1}) {
    if (k < stats_.size() && stats_[k].first == name) {
      last_ = k;
      return stats_[k].second;
    }
  }
  for (std::size_t k = 0; k < stats_.size(); ++k) {
    if (stats_[k].first == name) {
      last_ = k;
      return stats_[k].second;
    }
  }
  RuleStats fresh;
  fresh.match_limit = default_match_limit_;
  fresh.ban_length = default_ban_length_;
  last_ = stats_.size();
  return stats_.emplace_back(name, fresh).second;
}

const RuleStats* BackoffScheduler::stats(GlobalSymbol name) const {
  for (const auto& [rule, stats] : stats_) {
    if (rule == name) return &stats;
  }
  return nullptr;
}

bool BackoffScheduler::searchable(std::size_t iteration, GlobalSymbol name) {
  return iteration >= stats_for(name).banned_until;
}

std::uint64_t BackoffScheduler::threshold(GlobalSymbol name) {
  const RuleStats& stats = stats_for(name);
  return scaled(stats.match_limit, stats.times_banned);
}

bool BackoffScheduler::admit(std::size_t iteration, GlobalSymbol name, std::uint64_t matches) {
  RuleStats& stats = stats_for(name);
  if (matches > threshold(name)) {
    const std::uint64_t ban_length = scaled(stats.ban_length, stats.times_banned);
    stats.times_banned += 1;
    stats.banned_until = saturating_add(iteration, ban_length);
    return false;
  }
  stats.times_applied += 1;
  return true;
}

SearchResults BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rule) {
  if (!searchable(iteration, rule.name())) return {};
  // The search stops one match over the threshold: that many already ban.
  const std::uint64_t limit = saturating_add(threshold(rule.name()), 1);
  SearchResults matches = rule.search_with_limit(
      egraph, static_cast<std::size_t>(std::min<std::uint64_t>(limit, std::numeric_limits<std::size_t>::max())));
  if (!admit(iteration, rule.name(), matches.total_substs())) return {};
  return matches;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t, EGraph& egraph, const Rewrite& rule,
                                            const SearchResults& matches) {
  return rule.apply(egraph, matches).size();
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  std::uint64_t soonest = kMax;
  bool any_banned = false;
  for (const auto& [rule, stats] : stats_) {
    if (stats.banned_until > iteration) {
      any_banned = true;
      soonest = std::min(soonest, stats.banned_until);
    }
  }
  if (!any_banned) return true;
  const std::uint64_t delta = soonest - iteration;
  for (auto& [rule, stats] : stats_) {
    if (stats.banned_until > iteration) stats.banned_until -= delta;
  }
  return false;
}

}  // namespace quorvel::egraph
