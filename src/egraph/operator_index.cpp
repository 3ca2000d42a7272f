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

void OperatorIndex::group_by_list() {
  // Counting sort by list number: group_ends_[l] ends up as the end of
  // list l's group.
  group_ends_.assign(lists_.size() + 1, 0);
  for (const auto& [list, id] : queued_) ++group_ends_[list + 1];
  for (std::size_t l = 1; l <= lists_.size(); ++l) group_ends_[l] += group_ends_[l - 1];
  grouped_.resize(queued_.size());
  for (const auto& entry : queued_) grouped_[group_ends_[entry.first]++] = entry;
  queued_.swap(grouped_);
  std::size_t begin = 0;
  for (std::size_t l = 0; l < lists_.size(); ++l) {
    const std::size_t end = group_ends_[l];
    const auto first = queued_.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = queued_.begin() + static_cast<std::ptrdiff_t>(end);
    if (!std::is_sorted(first, last)) std::sort(first, last);
    begin = end;
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
