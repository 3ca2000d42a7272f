// The thread-safe, append-only, hash-consed arena of node keys. One mutex
// guards all of its state and every operation takes it exactly once.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_set>
#include <variant>
#include <vector>

#include "node/bad_node_id.hpp"
#include "node/node_key.hpp"
#include "node/node_list.hpp"
#include "node/node_map_entry.hpp"
#include "store/node_arena.hpp"
#include "store/node_index.hpp"
#include "support/cancellation.hpp"
#include "support/outcome.hpp"
#include "support/poisoning_mutex.hpp"

namespace quorvel {

// A consistent copy of a store's nodes (in id order) and marked outputs.
struct Snapshot {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
};

using Done = std::monostate;

class GraphStore {
 public:
  GraphStore() = default;
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // Returns the id of the key, adding it when no equal key is stored. Every
  // input must name an existing node; the first that does not is reported
  // and nothing is added.
  Outcome<NodeId, BadNodeId> intern(NodeKey&& key);
  Outcome<NodeId, BadNodeId> intern(const NodeKey& key) { return intern(NodeKey(key)); }

  // Interns the keys in order under one lock acquisition, exactly as
  // calling intern() on each would, and stops at the first key that names
  // a missing node (the keys before it stay interned). Faster for filling
  // a store in bulk: the index slots of the next keys are fetched ahead.
  Outcome<Done, BadNodeId> intern_batch(std::vector<NodeKey>& keys);

  // Interns a node list whose inputs are positions in the list itself, in
  // order under one lock acquisition: each key's inputs are first turned
  // into the ids its earlier keys were interned as. Returns the id of every
  // position (equal keys after renumbering share one). An input position
  // not below the key's own is reported as BadNodeId and ends the call
  // (the keys before it stay interned); so does a cancellation, which
  // throws Cancelled. Meant for filling a new store.
  Outcome<NodeIds, BadNodeId> intern_positions(std::vector<NodeKey>& keys);

  // Appends id to the outputs unless it is there already.
  Outcome<Done, BadNodeId> mark_output(NodeId id);
  // Marks the ids in order, as mark_output() on each would, under one lock
  // acquisition and all or nothing: every id is checked first, and the
  // first that names no node is reported with no mark added.
  Outcome<Done, BadNodeId> mark_outputs(const NodeIds& ids);

  NodeIds outputs() const;
  std::uint64_t node_count() const;
  NodeMap node_map() const;
  // Copies poll the thread's cancellation check; Cancelled drops the copy.
  Snapshot snapshot() const;

  // The keys and marked outputs as they are now, without copying the keys:
  // the list reads the store's own keys, which never move or change, and
  // stays valid while the store lives (nodes added later are not in it).
  struct FrozenView {
    NodeList nodes;
    NodeIds outputs;
  };
  FrozenView frozen() const;
  // The same list, after checking that every id names a node.
  Outcome<NodeList, BadNodeId> frozen_holding(const NodeIds& ids) const;

  // Copies of the keys with ids from min(watermark, n) to n - 1.
  std::vector<NodeKey> snapshot_from(std::uint64_t watermark) const;
  // A copy of every key, after checking that every id names a node.
  Outcome<std::vector<NodeKey>, BadNodeId> arena_holding(const NodeIds& ids) const;

  // Written once, by the constructors of derived stores.
  void set_node_map(NodeMap map);

  // Prepares room for n more nodes, so that filling a new store (from a
  // blob or a reduction) does not rehash its index along the way. A hint:
  // callers bound n by what their input can actually hold.
  void reserve(std::size_t n);

  // Runs f(view) under the lock, for readers that walk the whole store
  // without copying it (blob writing, DOT rendering). f must not call back
  // into this store.
  class View {
   public:
    std::size_t size() const noexcept { return arena_.size(); }
    const NodeKey& operator[](std::size_t i) const noexcept { return arena_[i]; }
    const NodeIds& outputs() const noexcept { return outputs_; }

   private:
    friend class GraphStore;
    View(const NodeArena& arena, const NodeIds& outputs) : arena_(arena), outputs_(outputs) {}
    const NodeArena& arena_;
    const NodeIds& outputs_;
  };

  template <class F>
  decltype(auto) read_locked(F&& f) const {
    return locked([&](const Inner& inner) -> decltype(auto) { return f(View(inner.arena, inner.outputs)); });
  }

  // Bytes used by the store's own structures for n nodes, excluding the
  // heap blocks the keys own (reported by the memory benchmark).
  std::size_t index_bytes() const;

 private:
  friend class GraphStoreTestAccess;

  struct Inner {
    NodeArena arena;
    NodeIds outputs;
    // Membership of outputs, so that marking stays linear even when a blob
    // lists very many of them.
    std::unordered_set<NodeId> output_set;
    NodeMap node_map;
    NodeIndex index;
  };

  // Runs f on the guarded state. An exception other than an allocation
  // failure escaping f poisons the store: every later operation then fails
  // with an internal error. Operations are written so that an allocation
  // failure leaves the state unchanged.
  template <class F>
  decltype(auto) locked(F&& f) const {
    return mutex_.run([&]() -> decltype(auto) { return f(inner_); });
  }

  // The work of intern() on the locked state, with the key's hash: the
  // key's id, or kNoNode (never an id) with `unknown` set to the first input
  // that names no node. (Not an Outcome: returned through memory, its flag
  // was stored as a byte and read back as a word, which stalls every call.)
  static NodeId intern_locked(Inner& inner, NodeKey&& key, std::uint64_t hash, NodeId& unknown);

  PoisoningMutex mutex_{"quorvel-core store mutex poisoned"};
  mutable Inner inner_;
};

}  // namespace quorvel
