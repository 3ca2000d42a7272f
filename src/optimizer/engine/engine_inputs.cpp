#include "optimizer/engine/engine_inputs.hpp"

#include <limits>
#include <string>

#include "support/internal_error.hpp"

namespace quorvel {

EngineInputs::EngineInputs(std::span<const NodeId> ids) {
  NodeId widest = 0;
  for (NodeId id : ids) widest |= id;
  if (widest > std::numeric_limits<std::uint32_t>::max()) {
    fail_invariant("engine positions fit in 32 bits", std::to_string(widest));
  }
  reserve(ids.size());
  for (NodeId id : ids) push_back(static_cast<std::uint32_t>(id));
}

}  // namespace quorvel
