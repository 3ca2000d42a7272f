// The result of a reduction: the reduced graph, where the requested outputs
// and every input node landed, and the six counters of the report.
#pragma once

#include <cstddef>
#include <vector>

#include "node/node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_map_entry.hpp"

namespace quorvel {

struct ReductionCounters {
  std::size_t input_nodes = 0;      // nodes of the graph that was reduced
  std::size_t reachable_nodes = 0;  // kept by dead-code elimination
  std::size_t canonical_nodes = 0;  // after canonicalization and CSE
  std::size_t stages = 0;           // stage nodes emitted by fusion
  std::size_t reduced_nodes = 0;    // stages + boundary_nodes
  std::size_t boundary_nodes = 0;   // non-stage nodes emitted by fusion

  friend bool operator==(const ReductionCounters&, const ReductionCounters&) = default;
};

struct Reduced {
  // Position is the new id; every input names an earlier position.
  std::vector<NodeKey> nodes;
  // One entry per requested output, in request order, repeats kept.
  NodeIds outputs;
  // One entry per input node: empty when dead-code elimination dropped it,
  // else the position it landed on (and its member index in a stage).
  NodeMap node_map;
  ReductionCounters counters;
};

}  // namespace quorvel
