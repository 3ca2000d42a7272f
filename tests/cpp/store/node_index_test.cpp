// The store's interning table under chosen hashes: the hash a lookup is
// given is the table's only input besides the arena, so these tests pick
// hashes that share a slot tag and check that keys, not tags, decide.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/node_arena.hpp"
#include "store/node_index.hpp"

namespace quorvel {
namespace {

NodeKey src(const std::string& name) { return NodeKey::source(name, {}); }

// An arena and its index filled with keys under hashes of the test's choice.
struct Table {
  NodeArena arena;
  NodeIndex index;

  NodeId add(NodeKey key, std::uint64_t hash) {
    const NodeId id = arena.size();
    arena.reserve_one();
    index.reserve_one();
    arena.append_reserved(std::move(key));
    index.insert_reserved(hash, id);
    return id;
  }
  std::optional<NodeId> find(const NodeKey& key, std::uint64_t hash) const { return index.find(key, hash, arena); }
};

// Hashes with the same upper half: the same tag, hence the same first slot.
constexpr std::uint64_t kTagged = 0x9e3779b100000000ULL;
constexpr std::uint64_t kSameTagOtherLowHalf = 0x9e3779b1ffffffffULL;

struct Collision {
  const char* name;
  std::uint64_t stored_hash;
  std::uint64_t probe_hash;
};

class NodeIndexCollision : public ::testing::TestWithParam<Collision> {};

TEST_P(NodeIndexCollision, AnEqualTagWithAnotherKeyIsNoMatch) {
  Table t;
  ASSERT_EQ(t.add(src("a"), GetParam().stored_hash), 0u);
  EXPECT_EQ(t.find(src("b"), GetParam().probe_hash), std::nullopt);
  EXPECT_EQ(t.find(NodeKey::op("a", {}, {}), GetParam().probe_hash), std::nullopt);
  EXPECT_EQ(t.find(src("a"), GetParam().probe_hash), std::optional<NodeId>(0));
}

TEST_P(NodeIndexCollision, KeysSharingATagAreEachFoundPastTheOthers) {
  Table t;
  const std::vector<NodeKey> keys = {src("a"), src("b"), NodeKey::op("f", {}, {0}), NodeKey::op("f", {}, {1})};
  for (const NodeKey& key : keys) t.add(key, GetParam().stored_hash);
  ASSERT_EQ(t.index.size(), 4u);
  EXPECT_EQ(t.find(keys[0], GetParam().probe_hash), std::optional<NodeId>(0));
  EXPECT_EQ(t.find(keys[1], GetParam().probe_hash), std::optional<NodeId>(1));
  EXPECT_EQ(t.find(keys[2], GetParam().probe_hash), std::optional<NodeId>(2));
  EXPECT_EQ(t.find(keys[3], GetParam().probe_hash), std::optional<NodeId>(3));
  EXPECT_EQ(t.find(NodeKey::op("f", {}, {2}), GetParam().probe_hash), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Hashes, NodeIndexCollision,
                         ::testing::Values(Collision{"EqualHashes", kTagged, kTagged},
                                           Collision{"EqualTagsOnly", kTagged, kSameTagOtherLowHalf}),
                         [](const auto& info) { return std::string(info.param.name); });

// Colliding entries survive the table's growth: forty keys under one hash
// cross two rehashes (16 and 32 slots) and are all still told apart.
TEST(NodeIndex, CollidingKeysAreToldApartAfterGrowth) {
  Table t;
  std::vector<NodeKey> keys;
  for (int i = 0; i < 40; ++i) keys.push_back(src("s" + std::to_string(i)));
  for (const NodeKey& key : keys) t.add(key, kTagged);
  for (NodeId id = 0; id < keys.size(); ++id) EXPECT_EQ(t.find(keys[id], kTagged), std::optional<NodeId>(id)) << id;
  EXPECT_EQ(t.find(src("s40"), kTagged), std::nullopt);
}

TEST(NodeIndex, AnEmptyTableFindsNothing) {
  const Table t;
  EXPECT_EQ(t.find(src("a"), kTagged), std::nullopt);
  EXPECT_EQ(t.find(src("a"), 0), std::nullopt);
}

}  // namespace
}  // namespace quorvel
