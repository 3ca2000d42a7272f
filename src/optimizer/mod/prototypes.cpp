#include "optimizer/mod/prototypes.hpp"

#include <string>

#include "support/hash_mix.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

std::size_t Prototypes::slot_of(std::uint32_t handle) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = static_cast<std::size_t>(mix64(handle)) & mask;
  while (slots_[s].handle != 0 && slots_[s].handle != handle) s = (s + 1) & mask;
  return s;
}

void Prototypes::grow(std::size_t capacity) {
  LargeVector<Slot> old(capacity, Slot{0, 0});
  old.swap(slots_);
  for (const Slot& slot : old) {
    if (slot.handle != 0) slots_[slot_of(slot.handle)] = slot;
  }
}

void Prototypes::reserve(std::size_t keys) {
  std::size_t capacity = 16;
  while (capacity / 2 < keys) capacity *= 2;
  if (capacity > slots_.size()) grow(capacity);
}

void Prototypes::offer(egraph::GlobalSymbol op, std::uint64_t position) {
  if (op.is_null()) fail_invariant("engine keys are never the null symbol", std::to_string(position));
  if (2 * (count_ + 1) > slots_.size()) grow(slots_.empty() ? 16 : 2 * slots_.size());
  Slot& slot = slots_[slot_of(op.handle())];
  if (slot.handle != 0) return;
  slot = Slot{op.handle(), position};
  ++count_;
}

const NodeKey& Prototypes::at(egraph::GlobalSymbol op) const {
  if (!op.is_null() && !slots_.empty()) {
    const Slot& slot = slots_[slot_of(op.handle())];
    if (slot.handle == op.handle()) return nodes_[slot.position];
  }
  fail_invariant("every token of the canonical graph comes from a kept node", std::to_string(op.handle()));
}

}  // namespace quorvel
