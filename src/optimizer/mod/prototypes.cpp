#include "optimizer/mod/prototypes.hpp"

#include <string>

#include "support/hash_mix.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

std::uint64_t Prototypes::home(const Slot& slot) noexcept { return mix64(slot.handle); }

void Prototypes::reserve(std::size_t keys) { slots_.reserve(keys, home); }

void Prototypes::offer(egraph::GlobalSymbol op, std::uint64_t position) {
  if (op.is_null()) fail_invariant("engine keys are never the null symbol", std::to_string(position));
  if (position > UINT32_MAX) fail_invariant("prototypes are store positions, below 2^32", std::to_string(position));
  const std::uint32_t handle = op.handle();
  const auto probe = slots_.find_or_room(mix64(handle), [handle](const Slot& slot) { return slot.handle == handle; }, home);
  if (!probe.found) slots_.fill(probe.slot, Slot{handle, static_cast<std::uint32_t>(position)});
}

const NodeKey& Prototypes::at(egraph::GlobalSymbol op) const {
  const std::uint32_t handle = op.handle();
  const Slot* found = slots_.find(mix64(handle), [handle](const Slot& slot) { return slot.handle == handle; });
  if (found == nullptr || op.is_null()) {
    fail_invariant("every token of the canonical graph comes from a kept node", std::to_string(handle));
  }
  return nodes_[found->position];
}

}  // namespace quorvel
