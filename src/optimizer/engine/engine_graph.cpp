#include "optimizer/engine/engine_graph.hpp"

namespace quorvel {

bool barrier_of(std::string_view op) noexcept { return !(op.size() >= 3 && op.substr(0, 3) == "op|"); }

}  // namespace quorvel
