// The record of one runner iteration.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "egraph/global_symbol.hpp"
#include "egraph/stop_reason.hpp"

namespace quorvel::egraph {

struct Iteration {
  // E-graph total size and class count when the iteration started.
  std::size_t egraph_nodes = 0;
  std::size_t egraph_classes = 0;
  // Applications per rule name, in the order the names were first applied;
  // only rules with at least one application appear.
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied;
  double hook_time = 0.0;
  double search_time = 0.0;
  double apply_time = 0.0;
  double rebuild_time = 0.0;
  double total_time = 0.0;
  // Merges made by the rebuild at the end of the iteration.
  std::size_t rebuild_merges = 0;
  // Set when this iteration ended the run.
  std::optional<StopReason> stop_reason;

  std::size_t applied_count(GlobalSymbol name) const {
    for (const auto& [rule, count] : applied) {
      if (rule == name) return count;
    }
    return 0;
  }

  void add_applied(GlobalSymbol name, std::size_t count) {
    for (auto& [rule, total] : applied) {
      if (rule == name) {
        total += count;
        return;
      }
    }
    applied.emplace_back(name, count);
  }
};

}  // namespace quorvel::egraph
