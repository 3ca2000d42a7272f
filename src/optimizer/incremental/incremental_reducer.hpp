// The incremental reducer: a canonical form of a graph that is kept up to
// date while the graph is being built. Each step folds in only the nodes
// added since the previous one, under three local rules (identity
// elimination, commutativity deduplication, hash-consing); finalize runs
// the reduction pipeline once over the canonical form and maps the result
// back to store ids.
//
// Not thread-safe on its own: LockedReducer (derivation/locked_reducer.hpp)
// puts it behind a mutex for sharing between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "node/bad_node_id.hpp"
#include "node/node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "optimizer/engine/rewrite_engine.hpp"
#include "optimizer/mod/reduced.hpp"
#include "store/node_arena.hpp"
#include "store/node_index.hpp"
#include "support/outcome.hpp"

namespace quorvel {

class IncrementalReducer {
 public:
  IncrementalReducer() = default;
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes delta, the store's nodes from the watermark on in id order,
  // and returns how many there were. An input id not below the watermark
  // (never produced by a store) is reported; the nodes of the delta before
  // it stay consumed. An allocation failure likewise leaves every node
  // consumed or not, never half. The nodes consumed count as work either
  // way, so total_work() always equals watermark(). A cancellation
  // (Cancelled, from the thread's check) undoes the whole step.
  Outcome<std::uint64_t, BadNodeId> step(std::vector<NodeKey> delta);
  // The same step over nodes[watermark()] on, read in place: nodes lists a
  // store's keys in id order (none are left when it holds no more than the
  // watermark). Keys are copied one at a time as they are consumed, never
  // the whole delta first.
  Outcome<std::uint64_t, BadNodeId> step_over(const NodeList& nodes);

  // Reduces the canonical form against outputs (store ids, order and
  // repeats kept). The node map of the result has one entry per consumed
  // store node; its counters are those of the canonical form. An output
  // not below the watermark is reported before any work. The reducer is
  // left unchanged either way, and when a cancellation stops the work.
  Outcome<Reduced, BadNodeId> finalize(const NodeIds& outputs, const RewriteEngine& engine,
                                       bool maximal_fusion) const;

  // How many store nodes have been consumed.
  std::uint64_t watermark() const noexcept { return store_to_canonical_.size(); }
  // How many store nodes the steps have processed: the watermark, however
  // many steps fed them and whether some failed part-way.
  std::uint64_t total_work() const noexcept { return total_work_; }
  // The size of the canonical form.
  std::uint64_t canonical_count() const noexcept { return canonical_.size(); }

  // A point to come back to: the sizes of the reducer's state.
  struct Mark {
    std::uint64_t watermark;
    std::uint64_t canonical_count;
    std::uint64_t total_work;
    bool operator==(const Mark&) const = default;
  };
  Mark mark() const noexcept { return Mark{watermark(), canonical_count(), total_work_}; }
  // Forgets everything consumed since m was taken, leaving the reducer
  // exactly as it was then. Does not allocate.
  void rollback(const Mark& m) noexcept;

  // The canonical id of a consumed store node (id < watermark()).
  NodeId canonical_id(NodeId store_id) const { return store_to_canonical_.at(store_id); }
  // A canonical node (id < canonical_count()).
  const NodeKey& canonical_node(NodeId canonical_id) const { return canonical_[canonical_id]; }

 private:
  // The step over count delta nodes, node_at(k) being the k-th.
  template <class NodeAt>
  Outcome<std::uint64_t, BadNodeId> consume_delta(std::size_t count, NodeAt&& node_at);
  // Consumes one node whose inputs are already canonical ids.
  void consume(NodeKey&& node);
  // The canonical id of node, if the canonical form holds it.
  std::optional<NodeId> find(const NodeKey& node, std::uint64_t hash) const noexcept {
    return hashcons_.find(node, hash, canonical_);
  }

  // The canonical form: keys whose inputs are canonical ids, each below its
  // own. Keys never move once appended.
  NodeArena canonical_;
  // Per consumed store node, its canonical id.
  NodeIds store_to_canonical_;
  // Every key of canonical_, for lookup only (randomly seeded, never
  // iterated).
  NodeIndex hashcons_;
  std::uint64_t total_work_ = 0;
};

}  // namespace quorvel
