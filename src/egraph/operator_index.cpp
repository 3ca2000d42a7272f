#include "egraph/operator_index.hpp"

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

std::uint32_t OperatorIndex::slot_of(GlobalSymbol op) const {
  if (table_.empty()) return kAbsent;
  const std::size_t mask = table_.size() - 1;
  std::size_t slot = static_cast<std::size_t>(mix64(op.handle())) & mask;
  for (;;) {
    const std::uint32_t list = table_[slot];
    if (list == kAbsent) return kAbsent;
    if (ops_[list] == op) return list;
    slot = (slot + 1) & mask;
  }
}

std::span<const Id> OperatorIndex::classes(GlobalSymbol op) const {
  const std::uint32_t list = slot_of(op);
  if (list == kAbsent) return {};
  return lists_[list];
}

void OperatorIndex::track(GlobalSymbol op, std::vector<Id> classes) {
  const std::uint32_t existing = slot_of(op);
  if (existing != kAbsent) {
    lists_[existing] = std::move(classes);
    return;
  }
  ops_.push_back(op);
  lists_.push_back(std::move(classes));
  if (ops_.size() * 2 > table_.size()) {
    rehash();
  } else {
    const std::size_t mask = table_.size() - 1;
    std::size_t slot = static_cast<std::size_t>(mix64(op.handle())) & mask;
    while (table_[slot] != kAbsent) slot = (slot + 1) & mask;
    table_[slot] = static_cast<std::uint32_t>(ops_.size() - 1);
  }
}

void OperatorIndex::rehash() {
  std::size_t capacity = table_.empty() ? 16 : table_.size();
  while (ops_.size() * 2 > capacity) capacity *= 2;
  table_.assign(capacity, kAbsent);
  const std::size_t mask = capacity - 1;
  for (std::uint32_t list = 0; list < ops_.size(); ++list) {
    std::size_t slot = static_cast<std::size_t>(mix64(ops_[list].handle())) & mask;
    while (table_[slot] != kAbsent) slot = (slot + 1) & mask;
    table_[slot] = list;
  }
}

}  // namespace quorvel::egraph
