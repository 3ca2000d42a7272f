#include "optimizer/mod/dead_code_elimination.hpp"

#include <string>

#include "node/renumber.hpp"
#include "support/cancellation.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

Reachability reachable_from(const NodeList& nodes, const NodeIds& outputs) {
  const std::size_t n = nodes.size();
  // Inputs name smaller ids, so one sweep from the highest id down sees
  // every user of a node before the node itself: a node is reached when an
  // output or a reached user names it. The sweep reads the node list in
  // order instead of chasing inputs across it.
  std::vector<std::uint8_t> reached(n, 0);
  for (NodeId output : outputs) {
    if (output >= n) fail_invariant("reduced outputs name nodes", std::to_string(output));
    reached[output] = 1;
  }
  CancellationPoller cancellation;
  for (std::size_t x = n; x-- > 0;) {
    cancellation.tick();
    if (!reached[x]) continue;
    for (NodeId input : nodes[x].inputs()) {
      if (input >= x) fail_invariant("node inputs name earlier nodes", std::to_string(x));
      reached[input] = 1;
    }
  }
  Reachability r;
  r.kept_index.assign(n, kNoNode);
  for (std::size_t x = 0; x < n; ++x) {
    cancellation.tick();
    if (!reached[x]) continue;
    r.kept_index[x] = r.kept_ids.size();
    r.kept_ids.push_back(x);
  }
  r.outputs.reserve(outputs.size());
  for (NodeId output : outputs) r.outputs.push_back(r.kept_index[output]);
  return r;
}

KeptGraph dead_code_elimination(const NodeList& nodes, const NodeIds& outputs) {
  Reachability r = reachable_from(nodes, outputs);
  KeptGraph kept;
  kept.nodes.reserve(r.kept_ids.size());
  NodeIds inputs;
  CancellationPoller cancellation;
  for (NodeId x : r.kept_ids) {
    cancellation.tick();
    renumber(nodes[x].inputs(), r.kept_index, inputs);
    kept.nodes.push_back(nodes[x].with_inputs(NodeInputs(inputs)));
  }
  kept.outputs = std::move(r.outputs);
  kept.kept_index = std::move(r.kept_index);
  return kept;
}

}  // namespace quorvel
