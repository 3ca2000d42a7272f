// The inputs of one engine node.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "node/node_id.hpp"
#include "node/node_inputs.hpp"
#include "support/small_vector.hpp"

namespace quorvel {

// Positions of earlier nodes of the same engine graph, in order, repeats
// kept. A position takes 32 bits, as the rewrite engine numbers its classes
// with 32 bits, and up to two are stored inline: an engine node takes 24
// bytes, and the three engine graphs of a reduction are read end to end by
// every pass.
class EngineInputs : public SmallVector<std::uint32_t, 2> {
 public:
  EngineInputs() noexcept = default;
  // Every id must lie below 2^32: a larger one is an internal error, never
  // truncated.
  EngineInputs(std::span<const NodeId> ids);  // NOLINT(google-explicit-constructor): converts like NodeInputs
  EngineInputs(const NodeIds& ids) : EngineInputs(std::span<const NodeId>(ids)) {}  // NOLINT
  EngineInputs(const NodeInputs& ids) : EngineInputs(std::span<const NodeId>(ids.data(), ids.size())) {}  // NOLINT
  EngineInputs(std::initializer_list<NodeId> ids) : EngineInputs(std::span<const NodeId>(ids.begin(), ids.size())) {}

  NodeIds to_vector() const { return NodeIds(begin(), end()); }
};

}  // namespace quorvel
