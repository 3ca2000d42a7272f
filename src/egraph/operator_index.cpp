#include "egraph/operator_index.hpp"

#include "support/hash_mix.hpp"

namespace quorvel::egraph {

std::uint32_t OperatorIndex::slot_of(GlobalSymbol op) const {
  const Slot* found = table_.find(mix64(op.handle()), [&](const Slot& slot) { return ops_[slot.list_plus_one - 1] == op; });
  return found == nullptr ? kAbsent : found->list_plus_one - 1;
}

std::span<const Id> OperatorIndex::classes(GlobalSymbol op) const {
  const std::uint32_t list = slot_of(op);
  if (list == kAbsent) return {};
  return lists_[list];
}

void OperatorIndex::track(GlobalSymbol op, std::vector<Id> classes) {
  auto home = [this](const Slot& slot) { return mix64(ops_[slot.list_plus_one - 1].handle()); };
  const auto probe = table_.find_or_room(
      mix64(op.handle()), [&](const Slot& slot) { return ops_[slot.list_plus_one - 1] == op; }, home);
  if (probe.found) {
    lists_[probe.slot->list_plus_one - 1] = std::move(classes);
    return;
  }
  ops_.push_back(op);
  lists_.push_back(std::move(classes));
  table_.fill(probe.slot, Slot{static_cast<std::uint32_t>(ops_.size())});
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

}  // namespace quorvel::egraph
