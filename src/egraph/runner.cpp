#include "egraph/runner.hpp"

#include <cstdio>
#include <string>

#include "egraph/backoff_scheduler.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"

namespace quorvel::egraph {

namespace {

using Clock = std::chrono::steady_clock;

// What one rule's search or application counts for on the run's poller:
// the loops inside them poll on their own, so a few hundred rules between
// two polls cost little even on a small e-graph.
constexpr std::size_t kRuleWork = 16;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

bool warn_duplicate_rule_names(std::span<const Rewrite> rules) {
  // Names in order of first occurrence, with their counts.
  std::vector<std::pair<GlobalSymbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) {
    bool found = false;
    for (auto& [name, count] : counts) {
      if (name == rule.name()) {
        ++count;
        found = true;
        break;
      }
    }
    if (!found) counts.emplace_back(rule.name(), 1);
  }
  std::string message;
  for (const auto& [name, count] : counts) {
    if (count > 1) {
      message += "Rule '" + name.str() + "' appears " + std::to_string(count) + " times\n";
    }
  }
  if (message.empty()) return false;
  message.insert(0, "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n");
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  return true;
}

Runner::Runner() : scheduler_(std::make_unique<BackoffScheduler>()) {}

Runner& Runner::set_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}
Runner& Runner::set_iter_limit(std::uint64_t limit) {
  iter_limit_ = limit;
  return *this;
}
Runner& Runner::set_node_limit(std::uint64_t limit) {
  node_limit_ = limit;
  return *this;
}
Runner& Runner::set_time_limit(std::chrono::nanoseconds limit) {
  time_limit_ = limit;
  return *this;
}
Runner& Runner::set_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
  if (!scheduler) fail_invariant("a runner has a scheduler", "null scheduler");
  scheduler_ = std::move(scheduler);
  return *this;
}
Runner& Runner::add_hook(Hook hook) {
  hooks_.push_back(std::move(hook));
  return *this;
}

std::optional<StopReason> Runner::check_limits() const {
  if (start_time_) {
    const auto elapsed = Clock::now() - *start_time_;
    if (elapsed > time_limit_) return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  if (egraph_.total_size() > node_limit_) return StopReason::node_limit(egraph_.total_size());
  if (iterations_.size() >= iter_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  if (ran_) fail_invariant("a runner is run once", "run called again");
  ran_ = true;
  warn_duplicate_rule_names(rules);
  egraph_.rebuild();

  // Prepare the search candidates of every rule in one pass over the classes.
  egraph_.index_operators(root_operators(rules));

  CancellationPoller cancellation;
  while (!stop_reason_) {
    iterations_.push_back(run_one(rules, cancellation));
    if (iterations_.back().stop_reason) {
      stop_reason_ = iterations_.back().stop_reason;
    } else {
      stop_reason_ = check_limits();
    }
  }
  return *this;
}

Iteration Runner::run_one(std::span<const Rewrite> rules, CancellationPoller& cancellation) {
  if (stop_reason_) fail_invariant("an iteration starts only while the run has no stop reason", stop_reason_->to_string());
  const std::size_t i = iterations_.size();
  const Clock::time_point iteration_start = Clock::now();
  if (!start_time_) start_time_ = iteration_start;

  Iteration record;
  std::optional<StopReason> result = check_limits();
  record.egraph_nodes = egraph_.total_size();
  record.egraph_classes = egraph_.number_of_classes();

  if (!result) {
    const Clock::time_point hook_start = Clock::now();
    for (Hook& hook : hooks_) {
      if (std::optional<std::string> error = hook(*this)) {
        result = StopReason::other(std::move(*error));
        break;
      }
    }
    record.hook_time = seconds_since(hook_start);
  }

  std::vector<SearchResults> matches;
  if (!result) {
    const Clock::time_point search_start = Clock::now();
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(i, egraph_, rule));
      cancellation.tick(kRuleWork);
      result = check_limits();
      if (result) break;
    }
    record.search_time = seconds_since(search_start);
  }

  if (!result) {
    const Clock::time_point apply_start = Clock::now();
    for (std::size_t k = 0; k < matches.size(); ++k) {
      const std::size_t applied = scheduler_->apply_rewrite(i, egraph_, rules[k], matches[k]);
      if (applied > 0) record.add_applied(rules[k].name(), applied);
      cancellation.tick(kRuleWork);
      result = check_limits();
      if (result) break;
    }
    record.apply_time = seconds_since(apply_start);
  }
  matches.clear();

  const Clock::time_point rebuild_start = Clock::now();
  record.rebuild_merges = egraph_.rebuild();
  record.rebuild_time = seconds_since(rebuild_start);

  const bool saturated = record.applied.empty() && scheduler_->can_stop(i) &&
                         egraph_.total_size() == record.egraph_nodes &&
                         egraph_.number_of_classes() == record.egraph_classes;
  if (saturated && !result) result = StopReason::saturated();
  record.stop_reason = std::move(result);
  record.total_time = seconds_since(iteration_start);
  return record;
}

}  // namespace quorvel::egraph
