#include "derivation/locked_reducer.hpp"

#include <utility>
#include <vector>

#include "support/cancellation.hpp"
#include "support/internal_error.hpp"

namespace quorvel {

Outcome<std::uint64_t, BadNodeId> LockedReducer::step_locked(IncrementalReducer& reducer, const GraphStore& store) {
  // The store's keys never move or change: they are read in place, not
  // copied first.
  return reducer.step_over(store.frozen().nodes);
}

Outcome<std::uint64_t, BadNodeId> LockedReducer::step(const GraphStore& store) {
  return locked([&](IncrementalReducer& reducer) { return step_locked(reducer, store); });
}

Outcome<DerivedStore, BadNodeId> LockedReducer::finalize(const GraphStore& store,
                                                         const std::optional<NodeIds>& outputs,
                                                         const RewriteEngine& engine, bool maximal_fusion) {
  NodeIds resolved;
  if (outputs) {
    const std::uint64_t count = store.node_count();
    for (NodeId id : *outputs) {
      if (id >= count) return failure(BadNodeId{id});
    }
    resolved = *outputs;
  } else {
    resolved = store.outputs();
  }
  // A cancelled finalize consumes nothing either.
  IncrementalReducer::Mark before{};
  IncrementalReducer::Mark after{};
  auto reduced = locked([&](IncrementalReducer& reducer) -> Outcome<Reduced, BadNodeId> {
    before = reducer.mark();
    try {
      auto consumed = step_locked(reducer, store);
      if (!consumed) return failure(consumed.error());
      after = reducer.mark();
      return reducer.finalize(resolved, engine, maximal_fusion);
    } catch (const Cancelled&) {
      reducer.rollback(before);
      throw;
    }
  });
  if (!reduced) return failure(reduced.error());
  try {
    return from_reduced(std::move(reduced).value());
  } catch (const Cancelled&) {
    // Undone only if no other call has changed the reducer meanwhile: the
    // nodes a later step consumed on top cannot be taken back alone.
    locked([&](IncrementalReducer& reducer) {
      if (reducer.mark() == after) reducer.rollback(before);
    });
    throw;
  }
}

std::uint64_t LockedReducer::watermark() const {
  return locked([](const IncrementalReducer& reducer) { return reducer.watermark(); });
}

std::uint64_t LockedReducer::total_work() const {
  return locked([](const IncrementalReducer& reducer) { return reducer.total_work(); });
}

std::uint64_t LockedReducer::canonical_count() const {
  return locked([](const IncrementalReducer& reducer) { return reducer.canonical_count(); });
}

}  // namespace quorvel
