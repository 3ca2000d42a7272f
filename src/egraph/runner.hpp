// Drives equality saturation: search, apply, rebuild, until nothing changes
// or a limit is reached.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/iteration.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/rewrite_scheduler.hpp"
#include "egraph/stop_reason.hpp"
#include "support/cancellation.hpp"

namespace quorvel::egraph {

// A runner is created, configured, run once and then read.
//
// Limits are checked after every single rule's search and application, so a
// limit stops an iteration between rules rather than at its end; the e-graph
// is rebuilt at the end of every iteration, so it is clean when the run ends.
//
// The thread's cancellation check (support/cancellation.hpp) is polled
// between rules and inside searches, applications and rebuilds; Cancelled
// then leaves the runner and its e-graph half-way, fit only to be dropped.
class Runner {
 public:
  // A hook runs at the start of each iteration; an error text stops the run
  // with StopReason::other.
  using Hook = std::function<std::optional<std::string>(Runner&)>;

  static constexpr std::uint64_t kDefaultIterLimit = 30;
  static constexpr std::uint64_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::seconds kDefaultTimeLimit{5};

  // An empty e-graph, the default limits and a default BackoffScheduler.
  Runner();

  Runner& set_egraph(EGraph egraph);
  Runner& set_iter_limit(std::uint64_t limit);
  Runner& set_node_limit(std::uint64_t limit);
  Runner& set_time_limit(std::chrono::nanoseconds limit);
  Runner& set_scheduler(std::unique_ptr<RewriteScheduler> scheduler);
  Runner& add_hook(Hook hook);

  // Runs rules, in this order, until a stop reason is set. Rule names that
  // occur more than once produce a warning on standard error.
  Runner& run(std::span<const Rewrite> rules);

  const EGraph& egraph() const noexcept { return egraph_; }
  EGraph& egraph() noexcept { return egraph_; }
  const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
  const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
  std::vector<Id>& roots() noexcept { return roots_; }
  RewriteScheduler& scheduler() noexcept { return *scheduler_; }

  std::uint64_t iter_limit() const noexcept { return iter_limit_; }
  std::uint64_t node_limit() const noexcept { return node_limit_; }
  std::chrono::nanoseconds time_limit() const noexcept { return time_limit_; }

 private:
  std::optional<StopReason> check_limits() const;
  Iteration run_one(std::span<const Rewrite> rules, CancellationPoller& cancellation);

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::vector<Id> roots_;
  std::optional<StopReason> stop_reason_;
  std::vector<Hook> hooks_;
  std::uint64_t iter_limit_ = kDefaultIterLimit;
  std::uint64_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  std::optional<std::chrono::steady_clock::time_point> start_time_;
  std::unique_ptr<RewriteScheduler> scheduler_;
  bool ran_ = false;
};

// Writes the duplicated-rule-name warning to standard error when some name
// occurs more than once; returns whether it did.
bool warn_duplicate_rule_names(std::span<const Rewrite> rules);

}  // namespace quorvel::egraph
