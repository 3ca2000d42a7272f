// An incremental reducer behind its own mutex, fed from a graph store: the
// form in which one reducer is shared between threads. Every operation
// takes the reducer's mutex once; the store's lock is taken only inside
// it, to copy the nodes not yet consumed (reducer first, then store, never
// the reverse).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "derivation/derived_stores.hpp"
#include "node/bad_node_id.hpp"
#include "node/node_id.hpp"
#include "optimizer/engine/rewrite_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "store/graph_store.hpp"
#include "support/outcome.hpp"
#include "support/poisoning_mutex.hpp"

namespace quorvel {

class LockedReducer {
 public:
  LockedReducer() = default;
  LockedReducer(const LockedReducer&) = delete;
  LockedReducer& operator=(const LockedReducer&) = delete;

  // Consumes the store's nodes from the watermark on (none when the store
  // holds no more nodes than that) and returns how many there were.
  Outcome<std::uint64_t, BadNodeId> step(const GraphStore& store);

  // Resolves the outputs against the store first (nullopt: its marked
  // outputs; otherwise each id is checked against its node count, and a bad
  // one is reported before the reducer is touched), consumes what is left
  // of the store, and reduces the canonical form. The new store is built
  // after the reducer's mutex is released. A cancellation (Cancelled) leaves
  // the reducer as it was, nothing consumed, and does not poison it.
  Outcome<DerivedStore, BadNodeId> finalize(const GraphStore& store, const std::optional<NodeIds>& outputs,
                                            const RewriteEngine& engine, bool maximal_fusion);

  std::uint64_t watermark() const;
  std::uint64_t total_work() const;
  std::uint64_t canonical_count() const;

 private:
  // Runs f on the reducer under the mutex. An exception other than an
  // allocation failure escaping f poisons the reducer: every later
  // operation then fails with an internal error. (The reducer's own
  // operations leave it consistent when an allocation fails.)
  template <class F>
  decltype(auto) locked(F&& f) const {
    return mutex_.run([&]() -> decltype(auto) { return f(reducer_); });
  }

  // The step on the locked reducer.
  static Outcome<std::uint64_t, BadNodeId> step_locked(IncrementalReducer& reducer, const GraphStore& store);

  PoisoningMutex mutex_{"incremental reducer poisoned"};
  mutable IncrementalReducer reducer_;
};

}  // namespace quorvel
