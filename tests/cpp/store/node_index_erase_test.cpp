// Removing the newest entries of a node index (undoing a cancelled reducer
// step): what stays is still found, what went is not, also in runs that
// wrap round the end of the table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/node_arena.hpp"
#include "store/node_index.hpp"

namespace quorvel {
namespace {

// 48 keys in a table of 64 slots. Hashes are chosen, not computed: the
// tag (upper half) picks the home slot, and the homes crowd the last slots
// so that runs wrap round to the front.
struct Crowded {
  NodeArena arena;
  NodeIndex index;
  std::vector<std::uint64_t> hashes;

  Crowded() {
    index.reserve(48);
    for (std::uint64_t id = 0; id < 48; ++id) {
      const std::uint64_t home = id % 3 == 0 ? 60 + id % 4 : (id * 7) % 64;
      hashes.push_back((home << 32) | id);
      arena.reserve_one();
      arena.append_reserved(NodeKey::source("n" + std::to_string(id), {}));
      index.reserve_one();
      index.insert_reserved(hashes.back(), id);
    }
  }
};

class NodeIndexEraseFrom : public ::testing::TestWithParam<NodeId> {};

TEST_P(NodeIndexEraseFrom, KeepsExactlyTheOlderEntries) {
  const NodeId first = GetParam();
  Crowded c;
  c.index.erase_from(first);
  EXPECT_EQ(c.index.size(), first);
  for (NodeId id = 0; id < 48; ++id) {
    const auto found = c.index.find(c.arena[id], c.hashes[id], c.arena);
    if (id < first) {
      ASSERT_TRUE(found.has_value()) << id;
      EXPECT_EQ(*found, id);
    } else {
      EXPECT_FALSE(found.has_value()) << id;
    }
  }
}

TEST_P(NodeIndexEraseFrom, TakesNewEntriesAfterwardsAsBefore) {
  const NodeId first = GetParam();
  Crowded c;
  c.index.erase_from(first);
  c.arena.truncate(first);
  for (NodeId id = first; id < 48; ++id) {
    c.arena.reserve_one();
    c.arena.append_reserved(NodeKey::source("n" + std::to_string(id), {}));
    c.index.reserve_one();
    c.index.insert_reserved(c.hashes[id], id);
  }
  for (NodeId id = 0; id < 48; ++id) EXPECT_EQ(c.index.find(c.arena[id], c.hashes[id], c.arena), id);
}

INSTANTIATE_TEST_SUITE_P(Firsts, NodeIndexEraseFrom, ::testing::Values(0, 1, 13, 30, 47, 48));

}  // namespace
}  // namespace quorvel
