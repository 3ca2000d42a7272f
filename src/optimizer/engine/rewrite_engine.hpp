// The one operation the reduction pipeline asks of a rewrite engine.
#pragma once

#include "optimizer/engine/engine_graph.hpp"

namespace quorvel {

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;

  // Merges provably equal nodes of graph and returns the canonical graph.
  // graph's inputs must name earlier positions and its outputs valid ones;
  // the engine only reads it (and itself), so concurrent calls are safe.
  virtual CanonicalGraph canonicalize(const EngineGraph& graph) const = 0;

  // Whether canonicalize's graph never holds two nodes with the same op and
  // the same inputs (the engine closes its merges under congruence), so
  // that hash-consing it again would merge nothing and the pipeline skips
  // that pass.
  virtual bool closes_under_congruence() const noexcept { return false; }
};

}  // namespace quorvel
