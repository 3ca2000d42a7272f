#include "store/graph_store.hpp"

#include <algorithm>

#include "support/internal_error.hpp"

namespace quorvel {

NodeId GraphStore::intern_locked(Inner& inner, NodeKey&& key, std::uint64_t hash, NodeId& unknown) {
  const NodeId n = inner.arena.size();
  for (NodeId id : key.inputs()) {
    if (id >= n) {
      unknown = id;
      return kNoNode;
    }
  }
  // Both allocations (the index's room, then the arena's) happen before
  // anything changes.
  NodeIndex::Room room;
  if (auto found = inner.index.find_or_room(key, hash, inner.arena, room)) return *found;
  inner.arena.reserve_one();
  inner.arena.append_reserved(std::move(key));
  inner.index.insert_at(room, hash, n);
  return n;
}

Outcome<NodeId, BadNodeId> GraphStore::intern(NodeKey&& key) {
  // The index's seed never changes, so the hash is computed before the
  // lock is taken.
  const std::uint64_t h = inner_.index.hash(key);
  return locked([&](Inner& inner) -> Outcome<NodeId, BadNodeId> {
    NodeId unknown = 0;
    const NodeId id = intern_locked(inner, std::move(key), h, unknown);
    if (id == kNoNode) return failure(BadNodeId{unknown});
    return id;
  });
}

Outcome<Done, BadNodeId> GraphStore::intern_batch(std::vector<NodeKey>& keys) {
  std::vector<std::uint64_t> hashes;
  hashes.reserve(keys.size());
  for (const NodeKey& key : keys) hashes.push_back(inner_.index.hash(key));
  return locked([&](Inner& inner) -> Outcome<Done, BadNodeId> {
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = 0; k < keys.size() && k < kAhead; ++k) inner.index.prefetch(hashes[k]);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (k + kAhead < keys.size()) inner.index.prefetch(hashes[k + kAhead]);
      NodeId unknown = 0;
      if (intern_locked(inner, std::move(keys[k]), hashes[k], unknown) == kNoNode) return failure(BadNodeId{unknown});
    }
    return Done{};
  });
}

Outcome<NodeIds, BadNodeId> GraphStore::intern_positions(std::vector<NodeKey>& keys) {
  // Positions and ids agree until two keys merge, which is rare: hash every
  // key as it is, and hash again only the keys whose inputs move.
  std::vector<std::uint64_t> hashes;
  hashes.reserve(keys.size());
  for (const NodeKey& key : keys) hashes.push_back(inner_.index.hash(key));
  NodeIds ids;
  ids.reserve(keys.size());
  return locked([&](Inner& inner) -> Outcome<NodeIds, BadNodeId> {
    constexpr std::size_t kAhead = 8;
    NodeIds inputs;
    CancellationPoller cancellation;
    for (std::size_t k = 0; k < keys.size() && k < kAhead; ++k) inner.index.prefetch(hashes[k]);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      cancellation.tick();
      if (k + kAhead < keys.size()) inner.index.prefetch(hashes[k + kAhead]);
      bool moved = false;
      inputs.clear();
      for (NodeId p : keys[k].inputs()) {
        if (p >= k) return failure(BadNodeId{p});
        inputs.push_back(ids[p]);
        moved = moved || ids[p] != p;
      }
      if (moved) {
        keys[k] = keys[k].with_inputs(NodeInputs(inputs));
        hashes[k] = inner.index.hash(keys[k]);
      }
      NodeId unknown = 0;
      const NodeId id = intern_locked(inner, std::move(keys[k]), hashes[k], unknown);
      if (id == kNoNode) return failure(BadNodeId{unknown});
      ids.push_back(id);
    }
    return std::move(ids);
  });
}

Outcome<Done, BadNodeId> GraphStore::mark_output(NodeId id) {
  return locked([&](Inner& inner) -> Outcome<Done, BadNodeId> {
    if (id >= inner.arena.size()) return failure(BadNodeId{id});
    if (inner.output_set.count(id) == 0) {
      // Room in both containers first, so a failed allocation changes nothing.
      // The list grows geometrically: marking many outputs stays linear.
      if (inner.outputs.size() == inner.outputs.capacity()) {
        inner.outputs.reserve(inner.outputs.empty() ? 8 : 2 * inner.outputs.size());
      }
      inner.output_set.insert(id);
      inner.outputs.push_back(id);
    }
    return Done{};
  });
}

Outcome<Done, BadNodeId> GraphStore::mark_outputs(const NodeIds& ids) {
  return locked([&](Inner& inner) -> Outcome<Done, BadNodeId> {
    if (auto unknown = first_unknown(ids, inner.arena.size())) return failure(*unknown);
    // The new marks, in order, without repeats.
    NodeIds fresh;
    fresh.reserve(ids.size());
    std::unordered_set<NodeId> seen;
    for (NodeId id : ids) {
      if (inner.output_set.count(id) == 0 && seen.insert(id).second) fresh.push_back(id);
    }
    // Room in the list first (growing geometrically, so that many small
    // calls stay linear); a failed insertion into the set takes back the
    // ones before it, so an allocation failure leaves the marks as they were.
    const std::size_t needed = inner.outputs.size() + fresh.size();
    if (needed > inner.outputs.capacity()) inner.outputs.reserve(std::max(needed, 2 * inner.outputs.capacity()));
    const std::size_t before = inner.outputs.size();
    try {
      for (NodeId id : fresh) {
        inner.output_set.insert(id);
        inner.outputs.push_back(id);
      }
    } catch (...) {
      // A failed insertion leaves the set as it was; push_back cannot fail.
      for (std::size_t i = before; i < inner.outputs.size(); ++i) inner.output_set.erase(inner.outputs[i]);
      inner.outputs.resize(before);
      throw;
    }
    return Done{};
  });
}

NodeIds GraphStore::outputs() const {
  return locked([](const Inner& inner) { return inner.outputs; });
}

std::uint64_t GraphStore::node_count() const {
  return locked([](const Inner& inner) -> std::uint64_t { return inner.arena.size(); });
}

NodeMap GraphStore::node_map() const {
  return locked([](const Inner& inner) { return inner.node_map; });
}

namespace {

std::vector<NodeKey> copy_range(const NodeArena& arena, std::size_t begin) {
  std::vector<NodeKey> nodes;
  if (begin >= arena.size()) return nodes;
  nodes.reserve(arena.size() - begin);
  CancellationPoller cancellation;
  for (std::size_t i = begin; i < arena.size(); ++i) {
    cancellation.tick();
    nodes.push_back(arena[i]);
  }
  return nodes;
}

}  // namespace

Snapshot GraphStore::snapshot() const {
  return locked([](const Inner& inner) { return Snapshot{copy_range(inner.arena, 0), inner.outputs}; });
}

std::vector<NodeKey> GraphStore::snapshot_from(std::uint64_t watermark) const {
  return locked([&](const Inner& inner) {
    return watermark >= inner.arena.size() ? std::vector<NodeKey>{} : copy_range(inner.arena, watermark);
  });
}

Outcome<std::vector<NodeKey>, BadNodeId> GraphStore::arena_holding(const NodeIds& ids) const {
  // The ids are checked against the count before the copy is made: the
  // outcome is the same as copying first, without a copy thrown away.
  return locked([&](const Inner& inner) -> Outcome<std::vector<NodeKey>, BadNodeId> {
    if (auto unknown = first_unknown(ids, inner.arena.size())) return failure(*unknown);
    return copy_range(inner.arena, 0);
  });
}

GraphStore::FrozenView GraphStore::frozen() const {
  return locked([](const Inner& inner) { return FrozenView{inner.arena.prefix(inner.arena.size()), inner.outputs}; });
}

Outcome<NodeList, BadNodeId> GraphStore::frozen_holding(const NodeIds& ids) const {
  return locked([&](const Inner& inner) -> Outcome<NodeList, BadNodeId> {
    if (auto unknown = first_unknown(ids, inner.arena.size())) return failure(*unknown);
    return inner.arena.prefix(inner.arena.size());
  });
}

void GraphStore::reserve(std::size_t n) {
  locked([&](Inner& inner) {
    // The index refuses sizes past what ids can count before the arena
    // would try to size anything from n.
    inner.index.reserve(inner.index.size() + n);
    inner.arena.reserve(inner.arena.size() + n);
  });
}

void GraphStore::set_node_map(NodeMap map) {
  locked([&](Inner& inner) { inner.node_map = std::move(map); });
}

std::size_t GraphStore::index_bytes() const {
  return locked([](const Inner& inner) { return inner.index.capacity_bytes(); });
}

}  // namespace quorvel
