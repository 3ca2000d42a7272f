// The compact node-map entry reads back exactly what was stored.
#include <gtest/gtest.h>

#include <optional>

#include "node/node_map_entry.hpp"

namespace quorvel {
namespace {

TEST(NodeMapSlot, ReadsBackEveryKindOfEntry) {
  const std::optional<NodeMapEntry> entries[] = {
      std::nullopt,
      NodeMapEntry{0, std::nullopt},
      NodeMapEntry{0, 0},  // member 0 is not "no member"
      NodeMapEntry{7, 3},
      NodeMapEntry{~NodeId{0} - 1, std::size_t{0xFFFFFFFF}},
  };
  for (const auto& entry : entries) {
    const NodeMapSlot slot = entry;
    ASSERT_EQ(slot.has_value(), entry.has_value());
    ASSERT_EQ(static_cast<bool>(slot), entry.has_value());
    if (!entry) continue;
    EXPECT_EQ(*slot, *entry);
    EXPECT_EQ(slot->id, entry->id);
    EXPECT_EQ(slot->member, entry->member);
  }
}

TEST(NodeMapSlot, EqualExactlyWhenTheEntriesAre) {
  const NodeMapSlot slots[] = {NodeMapSlot(), NodeMapEntry{0, std::nullopt}, NodeMapEntry{0, 0},
                               NodeMapEntry{1, std::nullopt}, NodeMapEntry{1, 0}};
  for (std::size_t a = 0; a < std::size(slots); ++a) {
    for (std::size_t b = 0; b < std::size(slots); ++b) EXPECT_EQ(slots[a] == slots[b], a == b) << a << " " << b;
  }
  EXPECT_EQ(NodeMapSlot(std::nullopt), NodeMapSlot());
  // Against optionals, in both orders, an empty one included.
  const std::optional<NodeMapEntry> none;
  EXPECT_TRUE(NodeMapSlot() == none);
  EXPECT_TRUE(none == NodeMapSlot());
  EXPECT_FALSE(none == slots[1]);
  EXPECT_TRUE(std::optional<NodeMapEntry>(NodeMapEntry{1, 0}) == slots[4]);
}

}  // namespace
}  // namespace quorvel
