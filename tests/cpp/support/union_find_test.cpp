#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/internal_error.hpp"
#include "support/union_find.hpp"

namespace quorvel {
namespace {

using Sets = UnionFind<std::uint32_t>;

TEST(UnionFind, UnitingKeepsTheLowestMemberAsRootWhateverTheOrder) {
  Sets sets(8);
  sets.unite_keeping_lowest(5, 3);
  sets.unite_keeping_lowest(6, 7);
  sets.unite_keeping_lowest(7, 5);  // {3, 5, 6, 7}
  sets.unite_keeping_lowest(1, 1);
  const std::vector<std::uint32_t> expected_roots = {0, 1, 2, 3, 4, 3, 3, 3};
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(sets.find(i), expected_roots[i]) << i;
    EXPECT_EQ(sets.is_root(i), expected_roots[i] == i) << i;
  }
  sets.unite_keeping_lowest(7, 2);  // the set of 7 joins {2} under 2
  EXPECT_EQ(sets.find(5), 2u);
  EXPECT_EQ(sets.find(2), 2u);
}

TEST(UnionFind, FindChangesNothingAndFindMutHalvesThePath) {
  Sets sets;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(sets.make_set(), static_cast<std::uint32_t>(i));
  // A chain 4 -> 3 -> 2 -> 1 -> 0.
  for (std::uint32_t i = 1; i < 5; ++i) sets.set_parent(i, i - 1);
  EXPECT_EQ(sets.find(4), 0u);
  EXPECT_EQ(sets.parent(4), 3u) << "find leaves the path as it is";
  EXPECT_EQ(sets.find_mut(4), 0u);
  EXPECT_EQ(sets.parent(4), 2u) << "4 now points at its old grandparent";
  EXPECT_EQ(sets.parent(2), 0u);
  EXPECT_EQ(sets.parent(3), 2u) << "halving skips every other node";
}

TEST(UnionFind, AnIndexOutsideTheSetsIsAnInternalError) {
  Sets sets(3);
  EXPECT_THROW((void)sets.find(3), InternalError);
  EXPECT_THROW((void)sets.find_mut(Sets::kNone), InternalError);
  EXPECT_THROW(sets.set_parent(0, 3), InternalError);
  EXPECT_THROW(sets.unite_keeping_lowest(2, 7), InternalError);
  EXPECT_EQ(sets.find(2), 2u) << "a failed call changed nothing";
}

TEST(UnionFind, SmallIndexTypesRefuseMoreSetsThanTheyCanName) {
  UnionFind<std::uint8_t> sets(255);
  EXPECT_THROW((void)sets.make_set(), InternalError) << "255 is kNone, never a set";
  EXPECT_THROW(UnionFind<std::uint8_t>(256), InternalError);
}

}  // namespace
}  // namespace quorvel
