// Working blocks for reductions: heap blocks below the threshold, mapped
// blocks on huge-page boundaries above it, and the zero-filled tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "support/large_block_allocator.hpp"
#include "support/zeroed_table.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kThreshold = large_block::kMapThreshold;

// Sizes on both sides of the threshold and of huge-page multiples.
const std::vector<std::size_t> kSizes = {
    1, 4095, kThreshold - 1, kThreshold, kThreshold + 1, kHugePage - 1, kHugePage + 1, 3 * kHugePage + 12345,
};

TEST(LargeBlock, EveryRequestedByteIsUsableAndMappedBlocksAreHugePageAligned) {
  for (std::size_t bytes : kSizes) {
    auto* p = static_cast<unsigned char*>(large_block::allocate(bytes));
    ASSERT_NE(p, nullptr) << bytes;
    if (bytes >= kThreshold) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % kHugePage, 0u) << bytes;
    }
    std::memset(p, 0xA5, bytes);
    EXPECT_EQ(p[0], 0xA5) << bytes;
    EXPECT_EQ(p[bytes - 1], 0xA5) << bytes;
    large_block::deallocate(p, bytes);
  }
  large_block::deallocate(nullptr, kThreshold);  // a no-op, as for operator delete
}

TEST(LargeBlock, VectorsKeepTheirContentsWhileGrowingAcrossTheThreshold) {
  LargeVector<std::uint64_t> values;
  const std::size_t count = 3 * kThreshold / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < count; ++i) values.push_back(i * 0x9E3779B97F4A7C15ULL);
  ASSERT_GE(values.capacity() * sizeof(std::uint64_t), kThreshold);
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(values[i], i * 0x9E3779B97F4A7C15ULL) << i;
  values.resize(10);
  values.shrink_to_fit();  // back below the threshold: from the heap again
  EXPECT_EQ(values[9], 9 * 0x9E3779B97F4A7C15ULL);
}

TEST(ZeroedTable, ZeroFilledOnBothSidesOfTheThreshold) {
  for (std::size_t bytes : kSizes) {
    const ZeroedTable table(bytes, 1);
    ASSERT_EQ(table.bytes(), bytes);
    const auto* p = static_cast<const unsigned char*>(table.data());
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
  }
  EXPECT_THROW(ZeroedTable(SIZE_MAX / 2, 4), std::bad_alloc);
}

#if defined(__linux__)

// Whether every page of [p, p + bytes) is mapped: mincore fails with ENOMEM
// on a range holding unmapped pages.
bool mapped(const void* p, std::size_t bytes) {
  std::vector<unsigned char> pages((bytes + 4095) / 4096);
  return mincore(const_cast<void*>(p), bytes, pages.data()) == 0;
}

TEST(BlockRecycling, HandsAFreedBlockToALaterRequestAndUnmapsItsUnusedTail) {
  const large_block::BlockRecycling recycling;
  auto* first = static_cast<unsigned char*>(large_block::allocate(4 * kHugePage));
  std::memset(first, 0x5A, 4 * kHugePage);
  large_block::deallocate(first, 4 * kHugePage);
  EXPECT_EQ(recycling.kept_bytes(), 4 * kHugePage);
  ASSERT_TRUE(mapped(first, 4 * kHugePage));

  // A smaller request takes it and gives back the part beyond its own size.
  auto* second = static_cast<unsigned char*>(large_block::allocate(kThreshold + 1));
  EXPECT_EQ(second, first);
  EXPECT_EQ(recycling.kept_bytes(), 0u);
  EXPECT_TRUE(mapped(second, 3 * kHugePage));
  EXPECT_FALSE(mapped(second + 3 * kHugePage, kHugePage));
  std::memset(second, 0x11, kThreshold + 1);
  large_block::deallocate(second, kThreshold + 1);
  EXPECT_EQ(recycling.kept_bytes(), 3 * kHugePage);

  // A request larger than anything kept is mapped afresh.
  void* third = large_block::allocate(8 * kHugePage);
  EXPECT_NE(third, second);
  large_block::deallocate(third, 8 * kHugePage);
  EXPECT_EQ(recycling.kept_bytes(), 11 * kHugePage);
}

TEST(BlockRecycling, PicksTheSmallestKeptBlockThatFits) {
  const large_block::BlockRecycling recycling;
  void* big = large_block::allocate(8 * kHugePage);
  void* middle = large_block::allocate(4 * kHugePage);
  void* small = large_block::allocate(kThreshold);
  large_block::deallocate(big, 8 * kHugePage);
  large_block::deallocate(middle, 4 * kHugePage);
  large_block::deallocate(small, kThreshold);
  void* taken = large_block::allocate(3 * kHugePage);
  EXPECT_EQ(taken, middle);
  EXPECT_TRUE(mapped(big, 8 * kHugePage));
  large_block::deallocate(taken, 3 * kHugePage);
}

TEST(BlockRecycling, UnmapsWhatItKeepsWhenItEndsAndLetsHandedOutBlocksOutliveIt) {
  void* kept = nullptr;
  void* handed_out = nullptr;
  {
    const large_block::BlockRecycling recycling;
    kept = large_block::allocate(2 * kHugePage + 1);
    handed_out = large_block::allocate(4 * kHugePage);
    large_block::deallocate(handed_out, 4 * kHugePage);
    handed_out = large_block::allocate(kThreshold);  // the same block, trimmed
    large_block::deallocate(kept, 2 * kHugePage + 1);
    ASSERT_TRUE(mapped(kept, 2 * kHugePage + 1));
  }
  EXPECT_FALSE(mapped(kept, kHugePage));
  ASSERT_TRUE(mapped(handed_out, kThreshold));
  std::memset(handed_out, 0x33, kThreshold);
  large_block::deallocate(handed_out, kThreshold);  // an ordinary mapping of its own size
  EXPECT_FALSE(mapped(handed_out, kHugePage));
}

TEST(BlockRecycling, InnerScopesAndOtherThreadsKeepNothing) {
  const large_block::BlockRecycling outer;
  {
    const large_block::BlockRecycling inner;
    void* p = large_block::allocate(kThreshold);
    large_block::deallocate(p, kThreshold);
    EXPECT_EQ(inner.kept_bytes(), 0u);
    EXPECT_EQ(outer.kept_bytes(), kThreshold);
  }
  // Ending the inner scope leaves the outer one working and its blocks kept.
  EXPECT_EQ(outer.kept_bytes(), kThreshold);

  bool unmapped_elsewhere = false;
  std::thread([&] {
    void* p = large_block::allocate(kThreshold);
    large_block::deallocate(p, kThreshold);
    unmapped_elsewhere = !mapped(p, kHugePage);
  }).join();
  EXPECT_TRUE(unmapped_elsewhere);
  EXPECT_EQ(outer.kept_bytes(), kThreshold);
}

TEST(BlockRecycling, UnmapsWhatItHasNoRoomToKeep) {
  large_block::BlockRecycling recycling;
  std::vector<void*> blocks;
  for (int k = 0; k < 40; ++k) blocks.push_back(large_block::allocate(kThreshold));
  for (void* p : blocks) large_block::deallocate(p, kThreshold);
  EXPECT_LT(recycling.kept_bytes(), 40 * kThreshold);
  EXPECT_FALSE(mapped(blocks.back(), kHugePage));
  recycling.release();
  EXPECT_EQ(recycling.kept_bytes(), 0u);
  EXPECT_FALSE(mapped(blocks.front(), kHugePage));
}

#endif  // __linux__

}  // namespace
}  // namespace quorvel
