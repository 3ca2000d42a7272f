// The rewrite engine: equality saturation over an e-graph with the built-in
// rule set (commutativity of eight operators, add-zero and multiply-by-one).
#pragma once

#include <cstdint>
#include <vector>

#include "egraph/rewrite.hpp"
#include "optimizer/engine/rewrite_engine.hpp"

namespace quorvel {

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::uint64_t kDefaultIterLimit = 12;

  // The default rule set and iteration limit.
  SaturationEngine();
  // Another rule list (tests); the iteration limit stays the default.
  explicit SaturationEngine(std::vector<egraph::Rewrite> rules);

  CanonicalGraph canonicalize(const EngineGraph& graph) const override;

  const std::vector<egraph::Rewrite>& rules() const noexcept { return rules_; }
  std::uint64_t iter_limit() const noexcept { return iter_limit_; }

 private:
  std::vector<egraph::Rewrite> rules_;
  std::uint64_t iter_limit_ = kDefaultIterLimit;
};

}  // namespace quorvel
