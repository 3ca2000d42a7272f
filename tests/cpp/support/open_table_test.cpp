#include "support/open_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

namespace quorvel {
namespace {

// A slot filing key k (never 0) under a hash the test chooses, so that
// whole runs collide or wrap around the end of the array on purpose.
struct TestSlot {
  std::uint32_t key;
  std::uint32_t home;
};

struct SameKey {
  std::uint32_t key;
  bool operator()(const TestSlot& slot) const { return slot.key == key; }
};

struct Table {
  explicit Table(std::uint32_t (*hash)(std::uint32_t)) : hash(hash) {}

  bool insert(std::uint32_t key) {
    const auto probe = table.find_or_room(hash(key), SameKey{key}, home);
    if (probe.found) return false;
    table.fill(probe.slot, TestSlot{key, hash(key)});
    return true;
  }
  bool contains(std::uint32_t key) const { return table.find(hash(key), SameKey{key}) != nullptr; }
  static std::uint64_t home(const TestSlot& slot) { return slot.home; }

  std::uint32_t (*hash)(std::uint32_t);
  OpenTable<TestSlot> table;
};

std::uint32_t spread(std::uint32_t key) { return key * 2654435761u; }
std::uint32_t all_collide(std::uint32_t) { return 7; }
// Every key's home is one of the last slots of a 16-slot table, so runs
// wrap around the end of the array while the table is small.
std::uint32_t near_the_end(std::uint32_t key) { return 13 + key % 3; }

class OpenTableHashes : public ::testing::TestWithParam<std::uint32_t (*)(std::uint32_t)> {};

TEST_P(OpenTableHashes, FindsEveryKeyInsertedAcrossGrowthAndNoOther) {
  Table t(GetParam());
  for (std::uint32_t key = 1; key <= 300; ++key) {
    EXPECT_TRUE(t.insert(key));
    EXPECT_FALSE(t.insert(key));  // a second insert finds the first
  }
  EXPECT_EQ(t.table.size(), 300u);
  EXPECT_LE(t.table.size(), t.table.capacity() * 5 / 8);
  for (std::uint32_t key = 1; key <= 300; ++key) EXPECT_TRUE(t.contains(key)) << key;
  for (std::uint32_t key = 301; key <= 400; ++key) EXPECT_FALSE(t.contains(key)) << key;
}

TEST_P(OpenTableHashes, EraseIfKeepsTheRestFindable) {
  Table t(GetParam());
  for (std::uint32_t key = 1; key <= 10; ++key) t.insert(key);  // stays at 16 slots
  ASSERT_EQ(t.table.capacity(), 16u);
  t.table.erase_if([](const TestSlot& slot) { return slot.key % 3 == 0; }, Table::home);
  EXPECT_EQ(t.table.size(), 7u);
  for (std::uint32_t key = 1; key <= 10; ++key) EXPECT_EQ(t.contains(key), key % 3 != 0) << key;
  // The holes left behind are usable again.
  for (std::uint32_t key : {3u, 6u, 9u}) EXPECT_TRUE(t.insert(key));
  for (std::uint32_t key = 1; key <= 10; ++key) EXPECT_TRUE(t.contains(key)) << key;
}

INSTANTIATE_TEST_SUITE_P(Hashes, OpenTableHashes, ::testing::Values(&spread, &all_collide, &near_the_end));

TEST(OpenTable, FillsToFiveEighthsBeforeGrowing) {
  Table t(&spread);
  for (std::uint32_t key = 1; key <= 10; ++key) t.insert(key);
  EXPECT_EQ(t.table.capacity(), 16u);
  t.insert(11);
  EXPECT_EQ(t.table.capacity(), 32u);
  EXPECT_EQ(OpenTable<TestSlot>::capacity_for(20), 32u);
  EXPECT_EQ(OpenTable<TestSlot>::capacity_for(21), 64u);
  // A table that chose three quarters.
  EXPECT_EQ((OpenTable<TestSlot, 6>::capacity_for(24)), 32u);
  EXPECT_EQ((OpenTable<TestSlot, 6>::capacity_for(25)), 64u);
}

TEST(OpenTable, ReservedRoomTakesInsertsWithoutGrowing) {
  Table t(&all_collide);
  t.table.reserve(40, Table::home);
  const std::size_t capacity = t.table.capacity();
  EXPECT_EQ(capacity, 64u);
  for (std::uint32_t key = 1; key <= 40; ++key) t.table.insert_new(all_collide(key), TestSlot{key, 7});
  EXPECT_EQ(t.table.capacity(), capacity);
  for (std::uint32_t key = 1; key <= 40; ++key) EXPECT_TRUE(t.contains(key));
}

TEST(OpenTable, AnEmptyTableFindsNothingAndVisitsNothing) {
  Table t(&spread);
  EXPECT_FALSE(t.contains(1));
  EXPECT_EQ(t.table.capacity_bytes(), 0u);
  int visits = 0;
  t.table.for_each([&](const TestSlot&) { ++visits; });
  EXPECT_EQ(visits, 0);
  t.table.erase_if([](const TestSlot&) { return true; }, Table::home);
  EXPECT_EQ(t.table.size(), 0u);
}

TEST(OpenTable, ForEachVisitsEachEntryOnce) {
  Table t(&near_the_end);
  for (std::uint32_t key = 1; key <= 50; ++key) t.insert(key);
  std::map<std::uint32_t, int> seen;
  t.table.for_each([&](const TestSlot& slot) { ++seen[slot.key]; });
  ASSERT_EQ(seen.size(), 50u);
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key;
}

}  // namespace
}  // namespace quorvel
